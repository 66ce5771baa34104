// Review pictures of a set of masks: each mask filled in its position's
// colour at half transparency over the frame, and optionally its bounding
// rectangle and a label plate with its box key. The caller's image is never
// changed; the work grows with the masks' area, not with the frame size.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/mask.hpp"

namespace pelk {

// Returns `image` (CV_8UC1 grey, CV_8UC3 BGR or CV_8UC4 BGRA) as a new
// CV_8UC4 BGRA image with each mask filled in position_colour(i) at alpha 128
// ("over" compositing); where masks overlap the later one wins. Throws
// std::invalid_argument when a mask's frame size differs from the image's.
cv::Mat draw_masks_on_image(const cv::Mat& image, const std::vector<Mask>& masks);

// Returns draw_masks_on_image of the masks of `mask_dict`, plus for each mask
// its bounding rectangle (inclusive pixel corners, 3 px drawn inward) in its
// colour and a label plate with its box key in white above the rectangle.
// An empty mask gets the rectangle (0, 0)-(0, 0).
cv::Mat img_bbx_drawing(const cv::Mat& image, const MaskDict& mask_dict);

}  // namespace pelk
