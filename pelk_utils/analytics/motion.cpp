#include "pelk_utils/analytics/motion.hpp"

#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/video/tracking.hpp>

namespace pelk {
namespace {

cv::Mat read_grey(const std::string& path) {
  cv::Mat image = cv::imread(path, cv::IMREAD_GRAYSCALE);
  if (image.empty()) throw std::runtime_error("cannot read frame image '" + path + "'");
  return image;
}

}  // namespace

OrderedMap<std::string, double> compute_motion_score_in_polygon(const std::vector<std::string>& video_frames,
                                                                const MaskDict& masks_dict) {
  if (video_frames.size() < 2) {
    throw std::invalid_argument("motion scores need two frames, got " + std::to_string(video_frames.size()));
  }
  const cv::Mat first = read_grey(video_frames[0]), second = read_grey(video_frames[1]);
  if (first.size() != second.size()) {
    throw std::invalid_argument("motion scores need two frames of one size: '" + video_frames[0] + "' is " +
                                std::to_string(first.cols) + "x" + std::to_string(first.rows) + ", '" +
                                video_frames[1] + "' is " + std::to_string(second.cols) + "x" +
                                std::to_string(second.rows));
  }
  cv::Mat flow;
  cv::calcOpticalFlowFarneback(first, second, flow, 0.5, 3, 15, 3, 5, 1.2, 0);
  cv::Mat parts[2], magnitude, angle;
  cv::split(flow, parts);
  cv::cartToPolar(parts[0], parts[1], magnitude, angle);
  OrderedMap<std::string, double> scores;
  for (const auto& [key, mask] : masks_dict) {
    if (mask.size() != first.size()) {
      throw std::invalid_argument("mask '" + key + "' is " + std::to_string(mask.size().width) + "x" +
                                  std::to_string(mask.size().height) + ", the frames " +
                                  std::to_string(first.cols) + "x" + std::to_string(first.rows));
    }
    scores.insert_or_assign(key, mask.empty() ? 0.0 : cv::mean(magnitude(mask.bounds()), mask.roi())[0]);
  }
  return scores;
}

}  // namespace pelk
