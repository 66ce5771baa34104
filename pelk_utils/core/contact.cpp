#include "pelk_utils/core/contact.hpp"

#include <opencv2/imgproc.hpp>

namespace pelk {

bool masks_within(const Mask& a, const Mask& b, int px) {
  if (a.empty() || b.empty()) return false;
  const cv::Rect grown(a.bounds().x - px, a.bounds().y - px, a.bounds().width + 2 * px, a.bounds().height + 2 * px);
  const cv::Rect common = grown & b.bounds();
  if (common.empty()) return false;
  if (intersection_area(a, b) > 0) return true;
  cv::Mat1b near = cv::Mat1b::zeros(grown.size());
  a.roi().copyTo(near(cv::Rect(px, px, a.bounds().width, a.bounds().height)));
  if (px > 0) cv::dilate(near, near, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * px + 1, 2 * px + 1)));
  const cv::Mat1b near_part = near(common - grown.tl());
  const cv::Mat1b b_part = b.roi()(common - b.bounds().tl());
  return cv::countNonZero(near_part & b_part) > 0;
}

}  // namespace pelk
