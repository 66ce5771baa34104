// Animal-shaped test masks for the benchmarks: ten ellipses of about
// 120 x 300 px spread over a 1180 x 1440 frame, a few of them overlapping.
#pragma once

#include <vector>

#include <opencv2/imgproc.hpp>

namespace pelk::bench {

inline const cv::Size kFrame(1180, 1440);

// Returns ten full-frame 0/1 CV_8UC1 masks; `shift` moves the animals.
inline std::vector<cv::Mat1b> animal_masks(int shift = 0) {
  const cv::Point centres[10] = {{180, 220},  {330, 260},  {700, 240},  {980, 300},  {250, 700},
                                 {560, 720},  {640, 780},  {950, 760},  {300, 1180}, {820, 1200}};
  const double angles[10] = {10, 35, 80, 120, 0, 60, 75, 150, 95, 20};
  std::vector<cv::Mat1b> masks;
  for (int i = 0; i < 10; ++i) {
    cv::Mat1b m = cv::Mat1b::zeros(kFrame);
    const cv::Point c = centres[i] + cv::Point((shift * (i + 3)) % 41 - 20, (shift * (7 - i)) % 37 - 18);
    cv::ellipse(m, c, cv::Size(60, 150), angles[i] + shift % 10, 0, 360, cv::Scalar(1), cv::FILLED);
    masks.push_back(m);
  }
  return masks;
}

}  // namespace pelk::bench
