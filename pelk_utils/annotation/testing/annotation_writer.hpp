// Writes annotation files as the tracking run does, for tests and
// benchmarks: polygons given in pixels are normalised by the image size.
#pragma once

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace pelk::testing {

struct DetectionSpec {
  std::optional<int> object_id;
  std::vector<std::vector<double>> xyxy;
  std::vector<std::string> polygons;  // raw polygon strings
};

// Returns "<identifier> x1 y1 ..." with the pixel points normalised by
// `size` and written with six decimals.
inline std::string polygon_text(const std::vector<cv::Point2d>& pixels, cv::Size size, const std::string& id = "p") {
  std::string text = id;
  char buf[64];
  for (const cv::Point2d& p : pixels) {
    std::snprintf(buf, sizeof(buf), " %.6f %.6f", p.x / size.width, p.y / size.height);
    text += buf;
  }
  return text;
}

// Writes one annotation file.
inline void write_annotation(const std::string& path, const std::string& image_path,
                             const std::vector<DetectionSpec>& detections) {
  nlohmann::json doc;
  doc["image_path"] = image_path;
  doc["detections"] = nlohmann::json::array();
  for (const DetectionSpec& d : detections) {
    nlohmann::json j;
    if (d.object_id) j["object_id"] = *d.object_id;
    j["xyxy"] = d.xyxy;
    j["formatted_polygon"] = d.polygons;
    doc["detections"].push_back(j);
  }
  std::ofstream(path) << doc.dump();
}

}  // namespace pelk::testing
