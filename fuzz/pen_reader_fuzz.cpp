// Fuzzes the pen-polygon reader on parsed documents, then uses the polygon
// as the library does: in-pen ratios through GEOS and a filled pen mask.
#include <cmath>
#include <stdexcept>
#include <string>

#include "fuzz/fuzz_target.hpp"
#include "pelk_utils/core/json_file.hpp"
#include "pelk_utils/core/polygon_fill.hpp"
#include "pelk_utils/detect/pen.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  pelk::PenPolygon pen;
  try {
    pen = pelk::parse_pen_polygon(pelk::parse_json_text(text, "fuzz input"), "fuzz.json");
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const std::out_of_range&) {
    return 0;
  }
  try {
    pelk::calculate_pen_intersection_ratio(pen, {{0, 0, 10, 10}, {5, 5, 50, 40}}, 40);
  } catch (const std::invalid_argument&) {
  } catch (const std::runtime_error&) {
  }
  std::vector<cv::Point> points;
  for (const pelk::PenPoint& p : pen) {
    const double x = std::trunc(p.x.as_double()), y = std::trunc(p.y.as_double());
    if (!(std::abs(x) < 1e6 && std::abs(y) < 1e6)) return 0;
    points.emplace_back(static_cast<int>(x), static_cast<int>(y));
  }
  pelk::fill_polygon_window(points, cv::Size(64, 48), cv::Rect(8, 8, 16, 16));
  return 0;
}
