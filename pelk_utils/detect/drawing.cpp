#include "pelk_utils/detect/drawing.hpp"

#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/drawing.hpp"

namespace pelk {

cv::Mat draw_masks_on_image(const cv::Mat& image, const std::vector<Mask>& masks) {
  cv::Mat out = to_bgra_image(image);
  std::vector<const Mask*> pointers;
  std::vector<Rgb> colours;
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (masks[i].size() != out.size()) {
      throw std::invalid_argument("mask " + std::to_string(i) + " is " + std::to_string(masks[i].size().width) + "x" +
                                  std::to_string(masks[i].size().height) + ", the image " +
                                  std::to_string(out.cols) + "x" + std::to_string(out.rows));
    }
    pointers.push_back(&masks[i]);
    colours.push_back(position_colour(static_cast<int>(i)));
  }
  composite_masks_over(out, out, pointers, colours, 128);
  return out;
}

cv::Mat img_bbx_drawing(const cv::Mat& image, const MaskDict& mask_dict) {
  std::vector<Mask> masks;
  for (const auto& [key, mask] : mask_dict) masks.push_back(mask);
  cv::Mat out = draw_masks_on_image(image, masks);
  int ii = 0;
  for (const auto& [key, mask] : mask_dict) {
    const Box b = mask.box();
    const cv::Point tl(static_cast<int>(b[0]), static_cast<int>(b[1]));
    const cv::Point br(static_cast<int>(b[2]), static_cast<int>(b[3]));
    const cv::Scalar colour = to_bgra(position_colour(ii++));
    // Three 1-px outlines stepping inward: a 3-px frame inside the box.
    for (int k = 0; k < 3 && tl.x + k <= br.x - k && tl.y + k <= br.y - k; ++k) {
      cv::rectangle(out, tl + cv::Point(k, k), br - cv::Point(k, k), colour, 1, cv::LINE_8);
    }
    draw_label_plate(out, tl, key, colour, cv::Scalar(255, 255, 255, 255));
  }
  return out;
}

}  // namespace pelk
