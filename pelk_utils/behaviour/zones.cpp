#include "pelk_utils/behaviour/zones.hpp"

#include <cmath>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/json_file.hpp"

namespace pelk {

std::vector<Zone> read_zones(const std::string& path, cv::Size frame) {
  const nlohmann::json doc = read_json_file(path);
  const auto fail = [&](const std::string& what) { throw std::invalid_argument("zones file '" + path + "': " + what); };
  if (!doc.is_object() || !doc.contains("shapes") || !doc["shapes"].is_array()) {
    fail("not a LabelMe-style file (no \"shapes\" list of labelled polygons)");
  }
  std::vector<Zone> zones;
  std::set<std::string> names;
  for (std::size_t i = 0; i < doc["shapes"].size(); ++i) {
    const nlohmann::json& shape = doc["shapes"][i];
    const std::string where = "shape " + std::to_string(i);
    if (!shape.is_object() || !shape.contains("label") || !shape["label"].is_string() || shape["label"].get_ref<const std::string&>().empty()) {
      fail(where + " has no \"label\" (the zone's name)");
    }
    Zone z;
    z.name = shape["label"].get<std::string>();
    if (!names.insert(z.name).second) fail("two zones are named '" + z.name + "'");
    if (!shape.contains("points") || !shape["points"].is_array()) fail("zone '" + z.name + "' has no \"points\"");
    for (const nlohmann::json& p : shape["points"]) {
      if (!p.is_array() || p.size() != 2 || !p[0].is_number() || !p[1].is_number()) {
        fail("zone '" + z.name + "' has a point that is not [x, y]");
      }
      const cv::Point2d point(p[0].get<double>(), p[1].get<double>());
      if (!std::isfinite(point.x) || !std::isfinite(point.y)) fail("zone '" + z.name + "' has a point that is not finite");
      if (frame.area() > 0 && (point.x < 0 || point.y < 0 || point.x > frame.width || point.y > frame.height)) {
        fail("zone '" + z.name + "' leaves the " + std::to_string(frame.width) + " x " + std::to_string(frame.height) +
             " frame at (" + std::to_string(point.x) + ", " + std::to_string(point.y) + ")");
      }
      z.polygon.emplace_back(static_cast<float>(point.x), static_cast<float>(point.y));
    }
    // LabelMe writes a rectangle as its two opposite corners.
    const bool rectangle = shape.contains("shape_type") && shape["shape_type"] == "rectangle";
    if (z.polygon.size() == 2 && (rectangle || !shape.contains("shape_type"))) {
      const cv::Point2f a = z.polygon[0], b = z.polygon[1];
      z.polygon = {a, {b.x, a.y}, b, {a.x, b.y}};
    }
    if (z.polygon.size() < 3) fail("zone '" + z.name + "' has fewer than three points");
    if (std::abs(cv::contourArea(z.polygon)) <= 0) fail("zone '" + z.name + "' encloses no area");
    zones.push_back(std::move(z));
  }
  if (zones.empty()) fail("holds no zone");
  return zones;
}

bool in_zone(const Zone& zone, cv::Point2d point) {
  return cv::pointPolygonTest(zone.polygon, cv::Point2f(static_cast<float>(point.x), static_cast<float>(point.y)), false) >= 0;
}

}  // namespace pelk
