#include "pelk_utils/models/classical_segmenter.hpp"

#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/models/builtin_encoder.hpp"
#include "pelk_utils/models/classical_detector.hpp"

namespace pelk {
namespace {

// The largest 8-connected component of `bits` (0/255), holes filled, as 0/1.
cv::Mat1b largest_filled(const cv::Mat1b& bits) {
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(bits, labels, stats, centroids, 8, CV_32S);
  cv::Mat1b out = cv::Mat1b::zeros(bits.size());
  if (n < 2) return out;
  int best = 1;
  for (int k = 2; k < n; ++k) {
    if (stats.at<int>(k, cv::CC_STAT_AREA) > stats.at<int>(best, cv::CC_STAT_AREA)) best = k;
  }
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(labels == best, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  cv::drawContours(out, contours, -1, cv::Scalar(1), cv::FILLED);
  return out;
}

cv::Mat frame_mask(const cv::Mat1b& window_bits, const cv::Rect& window, cv::Size frame) {
  cv::Mat1b full = cv::Mat1b::zeros(frame);
  window_bits.copyTo(full(window));
  return full;
}

cv::Mat low_res_logits(const cv::Mat& mask) {
  cv::Mat small, logits;
  cv::resize(mask, small, cv::Size(64, 64), 0, 0, cv::INTER_AREA);
  small.convertTo(logits, CV_32F, 16.0, -8.0);
  return logits;
}

}  // namespace

ClassicalSegmenter::ClassicalSegmenter(ClassicalSegmenterSettings settings)
    : settings_(settings), encoder_(std::make_unique<BuiltinImageEncoder>()) {}

ClassicalSegmenter::~ClassicalSegmenter() = default;

void ClassicalSegmenter::set_image(const cv::Mat& image_rgb) {
  foreground_ = light_foreground(image_rgb, settings_.blur_sigma_px);
}

Prediction ClassicalSegmenter::predict(const std::optional<std::vector<cv::Point2f>>& point_coords,
                                       const std::optional<std::vector<int>>& point_labels,
                                       const std::vector<Box>& box, bool multimask_output) {
  if (point_coords || point_labels) throw std::invalid_argument("the built-in segmenter takes box prompts only");
  if (foreground_.empty()) throw std::logic_error("ClassicalSegmenter::predict called before set_image");
  const cv::Size frame = foreground_.size();
  const cv::Rect whole(cv::Point(0, 0), frame);
  Prediction p;
  for (const Box& b : box) {
    const int m = settings_.box_margin_px;
    const cv::Rect window = cv::Rect(cv::Point(cvFloor(b[0]) - m, cvFloor(b[1]) - m),
                                     cv::Point(cvCeil(b[2]) + 1 + m, cvCeil(b[3]) + 1 + m)) & whole;
    std::vector<cv::Mat1b> candidates;
    if (window.empty()) {
      candidates.assign(multimask_output ? 3 : 1, cv::Mat1b());
    } else {
      const cv::Mat1b bits = foreground_(window);
      candidates.push_back(largest_filled(bits));
      if (multimask_output) {
        candidates.push_back(bits / 255);
        cv::Mat1b eroded;
        cv::erode(candidates[0], eroded, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));
        candidates.push_back(eroded);
      }
    }
    for (const cv::Mat1b& c : candidates) {
      const cv::Mat full = c.empty() ? cv::Mat(cv::Mat1b::zeros(frame)) : frame_mask(c, window, frame);
      p.masks.push_back(full);
      p.scores.push_back(c.empty() ? 0.f : static_cast<float>(cv::countNonZero(c)) / static_cast<float>(c.total()));
      p.logits.push_back(low_res_logits(full));
    }
  }
  return p;
}

ImageEncoder& ClassicalSegmenter::image_encoder() { return *encoder_; }

}  // namespace pelk
