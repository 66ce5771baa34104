#include "pelk_utils/annotation/polygon_masks.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/core/polygon_fill.hpp"

namespace pelk {
namespace {

int pixel_of(double normalised, int scale, const std::string& where) {
  const double v = std::trunc(normalised * scale);
  if (!(v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max())) {
    throw std::invalid_argument(where + ": coordinate " + std::to_string(normalised) +
                                " gives a pixel value outside the 32-bit range");
  }
  return static_cast<int>(v);
}

std::vector<cv::Point> vertices(const PolygonString& polygon, int height, int width, const std::string& where) {
  std::vector<cv::Point> points;
  points.reserve(polygon.coords.size() / 2);
  for (std::size_t i = 0; i + 1 < polygon.coords.size(); i += 2) {
    points.emplace_back(pixel_of(polygon.coords[i], width, where), pixel_of(polygon.coords[i + 1], height, where));
  }
  return points;
}

// Unites the filled polygons of one detection into one mask.
Mask detection_mask(const nlohmann::json& polygons, cv::Size frame, const std::string& where) {
  if (!polygons.is_array()) throw std::invalid_argument(where + ": \"formatted_polygon\" is not an array");
  std::vector<std::vector<cv::Point>> all;
  all.reserve(polygons.size());
  for (std::size_t k = 0; k < polygons.size(); ++k) {
    const std::string at = where + ", polygon " + std::to_string(k);
    if (!polygons[k].is_string()) throw std::invalid_argument(at + ": not a string");
    const PolygonString polygon = parse_polygon_string(polygons[k].get_ref<const std::string&>(), at);
    all.push_back(vertices(polygon, frame.height, frame.width, at));
  }
  try {
    return fill_polygons_mask(all, frame);
  } catch (const MaskTooLarge& e) {
    throw MaskTooLarge(where + ": " + e.what() + " (the frame is " + std::to_string(frame.width) + " x " +
                       std::to_string(frame.height) + ")");
  }
}

}  // namespace

PolygonMasks process_json_and_generate_masks(const std::string& json_path, int height, int width) {
  if (height <= 0 || width <= 0) {
    throw std::invalid_argument("raster size must be positive, got " + std::to_string(width) + "x" +
                                std::to_string(height) + " for '" + json_path + "'");
  }
  const nlohmann::json doc = read_annotation_json(json_path);
  const std::string file = "'" + json_path + "'";
  PolygonMasks out;
  const nlohmann::json& image_path = require_key(doc, "image_path", file);
  if (!image_path.is_string()) throw std::invalid_argument(file + ": \"image_path\" is not a string");
  out.image_path = image_path.get<std::string>();
  const nlohmann::json& detections = require_key(doc, "detections", file);
  if (!detections.is_array()) throw std::invalid_argument(file + ": \"detections\" is not an array");
  const cv::Size frame(width, height);
  for (std::size_t d = 0; d < detections.size(); ++d) {
    const std::string where = file + ", detection " + std::to_string(d);
    const nlohmann::json& detection = detections[d];
    const std::int64_t box_number = box_number_of(detection, where);
    out.masks.push_back(detection_mask(require_key(detection, "formatted_polygon", where), frame, where));
    out.boxkeys.push_back(box_number);
  }
  return out;
}

}  // namespace pelk
