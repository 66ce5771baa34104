#include "pelk_utils/core/contact.hpp"

#include <opencv2/imgproc.hpp>

namespace pelk {

bool masks_within(const Mask& a, const Mask& b, int px) {
  if (a.empty() || b.empty()) return false;
  const cv::Rect grown(a.bounds().x - px, a.bounds().y - px, a.bounds().width + 2 * px, a.bounds().height + 2 * px);
  const cv::Rect common = grown & b.bounds();
  if (common.empty()) return false;
  if (intersection_area(a, b) > 0) return true;
  if (px == 0) return false;
  // Only a's pixels within px of the common window can reach b's pixels in
  // it: grow that part of a (a disc), not the whole animal.
  const cv::Rect around(common.x - px, common.y - px, common.width + 2 * px, common.height + 2 * px);
  cv::Mat1b near = a.window(around);
  cv::dilate(near, near, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * px + 1, 2 * px + 1)), cv::Point(-1, -1),
             1, cv::BORDER_CONSTANT, cv::Scalar(0));
  const cv::Mat1b near_part = near(cv::Rect(px, px, common.width, common.height));
  return cv::countNonZero(near_part & b.window(common)) > 0;
}

}  // namespace pelk
