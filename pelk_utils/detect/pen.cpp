#include "pelk_utils/detect/pen.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <geos_c.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/json_file.hpp"
#include "pelk_utils/core/path.hpp"
#include "pelk_utils/core/polygon_fill.hpp"

namespace pelk {
namespace {

using nlohmann::json;

// A reentrant GEOS context that turns GEOS error reports into exceptions.
class GeosContext {
 public:
  GeosContext() : handle_(GEOS_init_r()) {
    GEOSContext_setErrorMessageHandler_r(handle_, &GeosContext::on_error, &last_error_);
  }
  ~GeosContext() { GEOS_finish_r(handle_); }
  GeosContext(const GeosContext&) = delete;
  GeosContext& operator=(const GeosContext&) = delete;

  GEOSContextHandle_t get() const { return handle_; }
  // Throws the last GEOS error (or `what`) when `ok` is false.
  void check(bool ok, const std::string& what) const {
    if (!ok) throw std::runtime_error(what + (last_error_.empty() ? "" : ": " + last_error_));
  }

 private:
  static void on_error(const char* message, void* userdata) { *static_cast<std::string*>(userdata) = message; }
  GEOSContextHandle_t handle_;
  std::string last_error_;
};

struct GeometryDeleter {
  GEOSContextHandle_t ctx;
  void operator()(GEOSGeometry* g) const { GEOSGeom_destroy_r(ctx, g); }
};
using Geometry = std::unique_ptr<GEOSGeometry, GeometryDeleter>;

Geometry make_polygon(const GeosContext& geos, const PenPolygon& points) {
  check_pen_area(points);
  const bool closed = points.front() == points.back();
  const auto n = static_cast<unsigned>(points.size() + (closed ? 0 : 1));
  GEOSCoordSequence* seq = GEOSCoordSeq_create_r(geos.get(), n, 2);
  geos.check(seq != nullptr, "cannot build the pen polygon");
  for (unsigned i = 0; i < n; ++i) {
    const PenPoint& p = points[i % points.size()];
    GEOSCoordSeq_setXY_r(geos.get(), seq, i, p.x.as_double(), p.y.as_double());
  }
  GEOSGeometry* ring = GEOSGeom_createLinearRing_r(geos.get(), seq);
  geos.check(ring != nullptr, "cannot build the pen polygon");
  Geometry polygon(GEOSGeom_createPolygon_r(geos.get(), ring, nullptr, 0), GeometryDeleter{geos.get()});
  geos.check(polygon != nullptr, "cannot build the pen polygon");
  if (GEOSisValid_r(geos.get(), polygon.get()) != 1) {
    char* reason = GEOSisValidReason_r(geos.get(), polygon.get());
    const std::string text = reason ? reason : "unknown reason";
    GEOSFree_r(geos.get(), reason);
    throw std::invalid_argument("invalid pen polygon: " + text);
  }
  return polygon;
}

Number number_of(const json& value, const std::string& where) {
  if (value.is_number_integer()) return Number(json_int64(value, where));
  return Number(value.get<double>());
}

PenPolygon parse_points(const json& points, const std::string& path) {
  if (!points.is_array()) throw std::invalid_argument("\"points\" in '" + path + "' is not an array");
  PenPolygon polygon;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const json& p = points[i];
    if (!p.is_array() || p.size() != 2 || !p[0].is_number() || !p[1].is_number()) {
      throw std::invalid_argument("point " + std::to_string(i) + " in '" + path + "' is not a pair of numbers: " +
                                  p.dump());
    }
    const std::string where = "point " + std::to_string(i) + " in '" + path + "':";
    polygon.push_back({number_of(p[0], where), number_of(p[1], where)});
  }
  return polygon;
}

Geometry make_box(const GeosContext& geos, const Box& box, std::size_t index) {
  // Checked on the corners as given: std::min and std::max pass a NaN
  // through or drop it depending on its side.
  const auto refuse = [&](const char* what) {
    std::ostringstream msg;
    msg << "box " << index << " [" << format_number(box[0]) << ", " << format_number(box[1]) << ", "
        << format_number(box[2]) << ", " << format_number(box[3]) << "] has " << what;
    return std::invalid_argument(msg.str());
  };
  if (std::any_of(box.begin(), box.end(), [](double v) { return std::isnan(v); })) {
    throw refuse("a corner that is not a number");
  }
  if (!std::all_of(box.begin(), box.end(), [](double v) { return std::isfinite(v); })) {
    throw refuse("a non-finite corner");
  }
  const double x0 = std::min(box[0], box[2]), x1 = std::max(box[0], box[2]);
  const double y0 = std::min(box[1], box[3]), y1 = std::max(box[1], box[3]);
  if (!((x1 - x0) * (y1 - y0) > 0)) throw refuse("zero area");
  Geometry rect(GEOSGeom_createRectangle_r(geos.get(), x0, y0, x1, y1), GeometryDeleter{geos.get()});
  geos.check(rect != nullptr, "cannot build box " + std::to_string(index));
  return rect;
}

double area_of(const GeosContext& geos, const GEOSGeometry* g) {
  double area = 0;
  geos.check(GEOSArea_r(geos.get(), g, &area) == 1, "cannot measure an area");
  return area;
}

int truncate_to_int(const Number& v, const std::string& path) {
  const double d = v.as_double();
  const double t = std::trunc(d);
  if (!(t >= std::numeric_limits<int>::min() && t <= std::numeric_limits<int>::max())) {
    throw std::invalid_argument("pen polygon coordinate " + v.text() + " in '" + path +
                                "' does not fit a 32-bit pixel index");
  }
  return v.is_integer() ? static_cast<int>(v.as_integer()) : static_cast<int>(t);
}


// Refuses outlines with fewer than three distinct points or all points on
// one line; `where` is " in '<file>'" or empty. One pass over the points
// (a hostile pen may have millions): a point off the line through the first
// two distinct points proves an area.
void require_area(const std::vector<cv::Point2d>& points, const std::string& where) {
  const auto refuse_count = [&](std::size_t distinct) {
    return std::invalid_argument("pen polygon" + where + " has " + std::to_string(distinct) +
                                 " distinct points; a polygon needs at least 3");
  };
  if (points.empty()) throw refuse_count(0);
  const cv::Point2d a = points.front();
  const auto second = std::find_if(points.begin(), points.end(), [&](const cv::Point2d& p) { return p != a; });
  if (second == points.end()) throw refuse_count(1);
  const cv::Point2d b = *second;
  const auto off_line = [&](const cv::Point2d& p) { return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x) != 0; };
  if (std::any_of(second, points.end(), off_line)) return;
  const bool third = std::any_of(second, points.end(), [&](const cv::Point2d& p) { return p != a && p != b; });
  if (!third) throw refuse_count(2);
  throw std::invalid_argument("pen polygon" + where + " encloses no area: its points lie on one line");
}

std::string in_file(const std::string& json_path) { return json_path.empty() ? "" : " in '" + json_path + "'"; }

}  // namespace

void check_pen_area(const PenPolygon& polygon_points, const std::string& json_path) {
  std::vector<cv::Point2d> points;
  for (const PenPoint& p : polygon_points) points.emplace_back(p.x.as_double(), p.y.as_double());
  require_area(points, in_file(json_path));
}

PenPolygon parse_pen_polygon(const nlohmann::json& doc, const std::string& json_path) {
  if (!doc.is_object()) throw std::invalid_argument("pen polygon file '" + json_path + "' is not a JSON object");
  if (!doc.contains("shapes")) throw std::out_of_range("pen polygon file '" + json_path + "' has no key \"shapes\"");
  const json& shapes = doc["shapes"];
  if (!shapes.is_array()) throw std::invalid_argument("\"shapes\" in '" + json_path + "' is not an array");
  if (shapes.empty()) throw std::invalid_argument("No shapes found in the JSON file.");
  const json& first = shapes[0];
  if (!first.is_object() || !first.contains("points")) {
    throw std::out_of_range("first shape in '" + json_path + "' has no key \"points\"");
  }
  // Validity is checked only where it matters (the area ratios): filling a
  // self-touching outline, drawing it or clipping a mask to it is sound.
  return parse_points(first["points"], json_path);
}

PenDrawing draw_pen(const std::string& image_path, const std::string& json_path, bool drawout) {
  PenDrawing out{cv::Mat(), parse_pen_polygon(read_json_file(json_path, "pen polygon file"), json_path)};
  if (!drawout) return out;
  out.image = cv::imread(image_path, cv::IMREAD_COLOR);
  if (out.image.empty()) throw std::runtime_error("cannot read image '" + image_path + "'");
  std::vector<cv::Point> outline;
  for (std::size_t i = 0; i < out.polygon_points.size(); ++i) {
    const double x = out.polygon_points[i].x.as_double(), y = out.polygon_points[i].y.as_double();
    if (!(std::abs(x) < (1 << 30) && std::abs(y) < (1 << 30))) {
      throw std::invalid_argument("point " + std::to_string(i) + " in '" + json_path +
                                  "' lies too far outside the image to draw");
    }
    outline.emplace_back(cvRound(x), cvRound(y));
  }
  // Thick OpenCV lines end in round caps, which gives rounded joints.
  cv::polylines(out.image, std::vector<std::vector<cv::Point>>{outline}, true, cv::Scalar(0, 0, 255), 3,
                cv::LINE_8);
  return out;
}

PenRatios calculate_pen_intersection_ratio(const PenPolygon& polygon_points, const std::vector<Box>& boxes,
                                           double ratio_threshold) {
  PenRatios out;
  if (boxes.empty()) return out;
  GeosContext geos;
  const Geometry pen = make_polygon(geos, polygon_points);
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const Geometry rect = make_box(geos, boxes[i], i);
    Geometry common(GEOSIntersection_r(geos.get(), pen.get(), rect.get()), GeometryDeleter{geos.get()});
    geos.check(common != nullptr, "cannot intersect box " + std::to_string(i) + " with the pen polygon");
    const double ratio = area_of(geos, common.get()) / area_of(geos, rect.get()) * 100.0;
    out.intersection_ratio_list.push_back(ratio);
    out.in_pen_index.push_back(ratio >= ratio_threshold);
  }
  return out;
}

std::optional<std::string> get_pen_json_path(const std::string& video_dir,
                                             const std::optional<std::string>& custom_pen_json_path) {
  if (custom_pen_json_path) return custom_pen_json_path;
  // Components end at either separator: Windows paths as before, and the
  // forward-slash paths of the platform this runs on.
  std::optional<std::string> camera_name;
  std::size_t start = 0;
  while (start <= video_dir.size()) {
    const std::size_t end = std::min(video_dir.find_first_of("\\/", start), video_dir.size());
    const std::string part = video_dir.substr(start, end - start);
    if (part.find("Camera") != std::string::npos) {
      camera_name = part.substr(0, part.find('_'));
      break;
    }
    start = end + 1;
  }
  if (!camera_name) return std::nullopt;
  static const std::vector<std::pair<std::string, std::string>> kTable = {
      {"Camera61", "Cam61.json"}, {"Camera62", "Cam62.json"}, {"Camera64", "Cam64.json"},
      {"Camera65", "Cam65.json"}, {"Camera66", "Cam66.json"}, {"Camera70", "Cam70.json"}};
  for (const auto& [camera, file] : kTable) {
    if (camera == *camera_name) return std::string(kDefaultPenPolygonDir) + "/" + file;
  }
  return std::nullopt;
}

Mask get_in_pen_mask(int frame_idx, const Mask& test_mask, const std::string& pen_json_path,
                     const std::vector<std::string>& frame_names) {
  const PenPolygon pen = draw_pen(frame_name_at(frame_names, frame_idx, "frame index"), pen_json_path).polygon_points;
  std::vector<cv::Point> points;
  for (const PenPoint& p : pen) points.emplace_back(truncate_to_int(p.x, pen_json_path), truncate_to_int(p.y, pen_json_path));
  require_area({points.begin(), points.end()}, in_file(pen_json_path));
  if (test_mask.empty()) return test_mask;
  const cv::Rect window = test_mask.bounds();
  const PolygonRaster raster = fill_polygon_window(points, test_mask.size(), window);
  const cv::Mat1b pen_bits = raster.bits(cv::Rect(window.tl() - raster.rect.tl(), window.size()));
  cv::Mat1b inside;
  cv::bitwise_and(test_mask.roi(), pen_bits, inside);
  return Mask(test_mask.size(), window, inside);
}

}  // namespace pelk
