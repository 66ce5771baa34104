// Fuzzes polygon strings: parsing either yields finite coordinate pairs or
// fails with std::invalid_argument; the parsed polygon then fills a small
// frame as the mask reader does (coordinates kept within the int range).
#include <cmath>
#include <stdexcept>
#include <string>

#include "fuzz/fuzz_target.hpp"
#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/core/polygon_fill.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const pelk::PolygonString polygon = pelk::parse_polygon_string(text, "fuzz input");
    if (polygon.coords.empty() || polygon.coords.size() % 2 != 0) __builtin_trap();
    std::vector<cv::Point> points;
    for (std::size_t i = 0; i + 1 < polygon.coords.size(); i += 2) {
      if (!std::isfinite(polygon.coords[i]) || !std::isfinite(polygon.coords[i + 1])) __builtin_trap();
      const double x = std::trunc(polygon.coords[i] * 40), y = std::trunc(polygon.coords[i + 1] * 30);
      if (std::abs(x) > 1e6 || std::abs(y) > 1e6) return 0;
      points.emplace_back(static_cast<int>(x), static_cast<int>(y));
    }
    pelk::fill_polygon_mask(points, cv::Size(40, 30));
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
