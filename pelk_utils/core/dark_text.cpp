#include "pelk_utils/core/dark_text.hpp"

#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace pelk {

cv::Mat1b dark_text_gamma_table(double gamma) {
  if (gamma == 0) throw std::invalid_argument("float division by zero");
  const double inv_gamma = 1.0 / gamma;
  cv::Mat1b table(1, 256);
  for (int i = 0; i < 256; ++i) {
    table(0, i) = cv::saturate_cast<uchar>(std::trunc(std::pow(i / 255.0, inv_gamma) * 255));
  }
  return table;
}

cv::Mat enhance_dark_text(const cv::Mat& image_pil, double gamma) {
  const cv::Mat1b table = dark_text_gamma_table(gamma);
  if (image_pil.type() != CV_8UC3) {
    throw std::invalid_argument("enhance_dark_text needs an 8-bit, 3-channel image, got type " +
                                std::to_string(image_pil.type()));
  }
  cv::Mat grey, mapped, equalised;
  cv::cvtColor(image_pil, grey, cv::COLOR_BGR2GRAY);
  cv::LUT(grey, table, mapped);
  cv::equalizeHist(mapped, equalised);
  return equalised;
}

}  // namespace pelk
