// Writes a synthetic tracked clip for the benchmarks: one annotation file
// per frame for ten animals at 1180 x 1440, each outline a 40-vertex
// ellipse of about 120 x 300 px that moves and turns from frame to frame, a
// few animals overlapping.
#pragma once

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "animal_masks.hpp"
#include "pelk_utils/annotation/testing/annotation_writer.hpp"

namespace pelk::bench {

// Writes `frames` annotation files "output_pp_NNNN.json" and one frame image
// into `dir` (created); returns the folder.
inline std::string write_clip(const std::string& dir, int frames, int animals = 10) {
  namespace fs = std::filesystem;
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string image = dir + "/frame.jpg";
  cv::imwrite(image, cv::Mat3b(kFrame, cv::Vec3b(90, 110, 130)));
  for (int f = 0; f < frames; ++f) {
    std::vector<pelk::testing::DetectionSpec> dets;
    for (int a = 0; a < animals; ++a) {
      const double t = f * 0.02 + a;
      const cv::Point2d centre(150 + (a % 4) * 280 + 60 * std::sin(t), 200 + (a / 4) * 450 + 80 * std::cos(0.7 * t));
      const double angle = 0.3 * a + 0.01 * f;
      std::vector<cv::Point2d> outline;
      for (int k = 0; k < 40; ++k) {
        const double u = 2 * CV_PI * k / 40;
        const double x = 60 * std::cos(u), y = 150 * std::sin(u);
        outline.emplace_back(centre.x + x * std::cos(angle) - y * std::sin(angle),
                             centre.y + x * std::sin(angle) + y * std::cos(angle));
      }
      const double x0 = centre.x - 150, y0 = centre.y - 150;
      dets.push_back({a + 1, {{x0, y0, x0 + 300, y0 + 300}}, {pelk::testing::polygon_text(outline, kFrame, "0")}});
    }
    char name[64];
    std::snprintf(name, sizeof(name), "/output_pp_%04d.json", f);
    pelk::testing::write_annotation(dir + name, image, dets);
  }
  return dir;
}

}  // namespace pelk::bench
