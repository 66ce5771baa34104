// Dark text enhancement: the animals carry dark markings painted on bright
// bodies; a grey image with a gamma curve and histogram equalisation makes
// them stand out. Used for region features and for review.
#pragma once

#include <opencv2/core.hpp>

namespace pelk {

// Returns the 256-entry gamma table (CV_8UC1, 1 x 256): entry i is
// trunc(((i / 255) ^ (1 / gamma)) * 255). Throws std::invalid_argument("float
// division by zero") for gamma 0.
cv::Mat1b dark_text_gamma_table(double gamma);

// Returns `image_pil` (CV_8UC3, BGR, as cv::imread gives it) converted to
// grey (OpenCV's luma weights), passed through the lookup table
// trunc(((i / 255) ^ (1 / gamma)) * 255) and histogram-equalised: a CV_8UC1
// image of the same size. Throws std::invalid_argument("float division by
// zero") for gamma 0, before any image work, and for an image that is not
// 8-bit with three channels.
cv::Mat enhance_dark_text(const cv::Mat& image_pil, double gamma = 1.5);

}  // namespace pelk
