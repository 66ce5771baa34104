#include "pelk_utils/models/classical_detector.hpp"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

class PhraseIds : public InputIds {
 public:
  std::vector<std::string> phrases;
};

class FrameInputs : public ModelInputs {
 public:
  void to(const Device& device) override {
    if (device != "cpu") throw std::invalid_argument("the built-in detector runs on \"cpu\" only, not \"" + device + "\"");
  }
  const InputIds& input_ids() const override { return ids; }
  cv::Mat image_rgb;
  PhraseIds ids;
};

class BlobOutputs : public ModelOutputs {
 public:
  std::vector<Box> boxes;
  std::vector<float> scores;
  cv::Size size;
};

std::vector<std::string> phrases_of(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream parts(text);
  for (std::string part; std::getline(parts, part, '.');) {
    const auto first = part.find_first_not_of(" \t\n");
    if (first == std::string::npos) continue;
    part = part.substr(first, part.find_last_not_of(" \t\n") - first + 1);
    std::transform(part.begin(), part.end(), part.begin(), [](unsigned char c) { return std::tolower(c); });
    out.push_back(part);
  }
  return out;
}

}  // namespace

cv::Mat1b light_foreground(const cv::Mat& image_rgb, int blur_sigma_px) {
  if (image_rgb.type() != CV_8UC3) throw std::invalid_argument("the built-in models need an 8-bit RGB frame");
  cv::Mat grey;
  cv::cvtColor(image_rgb, grey, cv::COLOR_RGB2GRAY);
  if (blur_sigma_px > 0) cv::GaussianBlur(grey, grey, cv::Size(0, 0), blur_sigma_px);
  cv::Mat1b fg;
  cv::threshold(grey, fg, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5));
  cv::morphologyEx(fg, fg, cv::MORPH_OPEN, kernel);
  cv::morphologyEx(fg, fg, cv::MORPH_CLOSE, kernel);
  return fg;
}

ClassicalDetector::ClassicalDetector(ClassicalDetectorSettings settings) : settings_(settings) {}

std::unique_ptr<ModelInputs> ClassicalDetector::operator()(const cv::Mat& image_rgb, const std::string& text) {
  auto inputs = std::make_unique<FrameInputs>();
  inputs->image_rgb = image_rgb;
  inputs->ids.phrases = phrases_of(text);
  return inputs;
}

std::unique_ptr<ModelOutputs> ClassicalDetector::operator()(const ModelInputs& inputs) {
  const auto* frame = dynamic_cast<const FrameInputs*>(&inputs);
  if (frame == nullptr) throw std::invalid_argument("ClassicalDetector was given inputs of another processor");
  const cv::Mat& rgb = frame->image_rgb;
  const cv::Mat1b fg = light_foreground(rgb, settings_.blur_sigma_px);
  cv::Mat grey;
  cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
  const double floor_level = cv::mean(grey, ~fg)[0];
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(fg, labels, stats, centroids, 8, CV_32S);
  const double frame_area = static_cast<double>(rgb.total());
  auto out = std::make_unique<BlobOutputs>();
  out->size = rgb.size();
  for (int k = 1; k < n; ++k) {
    const cv::Rect box(stats.at<int>(k, cv::CC_STAT_LEFT), stats.at<int>(k, cv::CC_STAT_TOP),
                       stats.at<int>(k, cv::CC_STAT_WIDTH), stats.at<int>(k, cv::CC_STAT_HEIGHT));
    const double area = stats.at<int>(k, cv::CC_STAT_AREA);
    const double aspect = static_cast<double>(std::max(box.width, box.height)) / std::max(1, std::min(box.width, box.height));
    if (area < settings_.min_area_fraction * frame_area || area > settings_.max_area_fraction * frame_area ||
        aspect > settings_.max_aspect) {
      continue;
    }
    const cv::Mat inside = labels(box) == k;
    const double contrast = std::clamp((cv::mean(grey(box), inside)[0] - floor_level) / 120.0, 0.0, 1.0);
    const double compactness = area / box.area();
    out->boxes.push_back(Box{static_cast<double>(box.x), static_cast<double>(box.y), static_cast<double>(box.x + box.width),
                             static_cast<double>(box.y + box.height)});
    out->scores.push_back(static_cast<float>(0.5 * contrast + 0.5 * std::min(1.0, compactness / 0.7)));
  }
  return out;
}

std::vector<DetectionResult> ClassicalDetector::post_process_grounded_object_detection(
    const ModelOutputs& outputs, const InputIds& input_ids, double text_threshold,
    const std::vector<std::pair<int, int>>& target_sizes) {
  const auto* blobs = dynamic_cast<const BlobOutputs*>(&outputs);
  const auto* ids = dynamic_cast<const PhraseIds*>(&input_ids);
  if (blobs == nullptr || ids == nullptr) throw std::invalid_argument("ClassicalDetector was given outputs of another model");
  DetectionResult result;
  const bool asks_for_pigs = std::find(ids->phrases.begin(), ids->phrases.end(), "pig") != ids->phrases.end();
  // The phrase "pig" matches with certainty 1; nothing else matches.
  if (!asks_for_pigs || !(1.0 > text_threshold)) return {result};
  const double sx = target_sizes.empty() ? 1.0 : static_cast<double>(target_sizes[0].second) / blobs->size.width;
  const double sy = target_sizes.empty() ? 1.0 : static_cast<double>(target_sizes[0].first) / blobs->size.height;
  for (std::size_t i = 0; i < blobs->boxes.size(); ++i) {
    if (blobs->scores[i] < settings_.box_threshold) continue;
    const Box& b = blobs->boxes[i];
    result.boxes.push_back(Box{b[0] * sx, b[1] * sy, b[2] * sx, b[3] * sy});
    result.scores.push_back(blobs->scores[i]);
    result.labels.push_back("pig");
  }
  return {result};
}

DetectionResult ClassicalDetector::detect(const cv::Mat& image_rgb, double text_threshold) {
  const auto inputs = (*this)(image_rgb, "pig.");
  const auto outputs = (*this)(*inputs);
  return post_process_grounded_object_detection(*outputs, inputs->input_ids(), text_threshold,
                                                {{image_rgb.rows, image_rgb.cols}})
      .at(0);
}

}  // namespace pelk
