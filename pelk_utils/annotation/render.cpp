#include "pelk_utils/annotation/render.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/drawing.hpp"
#include "pelk_utils/core/json_file.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/output.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

constexpr int kSubpixelBits = 8;  // fillPoly shift: vertices in 1/256 px

cv::Mat read_image(const std::string& path, int flags) {
  const cv::Mat image = cv::imread(path, flags);
  if (image.empty()) throw std::runtime_error("cannot read image '" + path + "'");
  return image;
}

// Returns the vertices of a polygon string in 1/256 pixels.
std::vector<cv::Point> subpixel_points(const PolygonString& polygon, cv::Size size, const std::string& where) {
  std::vector<cv::Point> points;
  const double scale = 1 << kSubpixelBits;
  for (std::size_t i = 0; i + 1 < polygon.coords.size(); i += 2) {
    const double x = polygon.coords[i] * size.width * scale, y = polygon.coords[i + 1] * size.height * scale;
    if (std::abs(x) > 1e9 || std::abs(y) > 1e9) {
      throw std::invalid_argument(where + ": vertex " + std::to_string(i / 2) + " (" + format_number(polygon.coords[i]) +
                                  ", " + format_number(polygon.coords[i + 1]) +
                                  ") lies too far outside the image to draw");
    }
    points.emplace_back(cvRound(x), cvRound(y));
  }
  return points;
}

std::optional<cv::Rect> last_box(const nlohmann::json& xyxy, const std::string& where) {
  if (!xyxy.is_array()) throw std::invalid_argument(where + ": \"xyxy\" is not an array");
  if (xyxy.empty()) return std::nullopt;
  const nlohmann::json& b = xyxy.back();
  if (!b.is_array() || b.size() != 4 || !std::all_of(b.begin(), b.end(), [](const auto& v) { return v.is_number(); })) {
    throw std::invalid_argument(where + ": last \"xyxy\" box is not four numbers");
  }
  // Corners far outside the image are refused before the conversion to int;
  // 2^30 leaves room for the label plate drawn above the box.
  constexpr double kLimit = 1 << 30;
  int corner[4];
  for (int i = 0; i < 4; ++i) {
    const double v = b[static_cast<std::size_t>(i)].get<double>();
    if (!(std::abs(v) < kLimit)) {
      throw std::invalid_argument(where + ": \"xyxy\" corner " + b[static_cast<std::size_t>(i)].dump() +
                                  " is outside the drawable range");
    }
    corner[i] = static_cast<int>(v);
  }
  return cv::Rect(cv::Point(corner[0], corner[1]), cv::Point(corner[2], corner[3]));
}

// Draws one detection into the overlay.
void draw_detection(cv::Mat& overlay, const nlohmann::json& detection, std::int64_t box_number, bool box_drawing,
                    std::mt19937& rng, const std::string& where) {
  std::uniform_int_distribution<int> channel(0, 254);
  const int r = channel(rng), g = channel(rng), b = channel(rng);
  const cv::Scalar opaque(b, g, r, 255), fill(b, g, r, 100);
  const std::optional<cv::Rect> box = last_box(require_key(detection, "xyxy", where), where);
  const nlohmann::json& polygons = require_key(detection, "formatted_polygon", where);
  if (!polygons.is_array()) throw std::invalid_argument(where + ": \"formatted_polygon\" is not an array");
  for (std::size_t k = 0; k < polygons.size(); ++k) {
    const std::string at = where + ", polygon " + std::to_string(k);
    if (!polygons[k].is_string()) throw std::invalid_argument(at + ": not a string");
    const PolygonString polygon = parse_polygon_string(polygons[k].get_ref<const std::string&>(), at);
    cv::fillPoly(overlay, std::vector<std::vector<cv::Point>>{subpixel_points(polygon, overlay.size(), at)}, fill,
                 cv::LINE_8, kSubpixelBits);
  }
  if (!box_drawing || !box) return;
  const cv::Point tl = box->tl(), br = box->br();
  for (int k = 0; k < 2 && tl.x + k <= br.x - k && tl.y + k <= br.y - k; ++k) {
    cv::rectangle(overlay, tl + cv::Point(k, k), br - cv::Point(k, k), opaque, 1, cv::LINE_8);
  }
  const std::string label = "Box " + std::to_string(box_number);
  const LabelFont& font = LabelFont::get();
  const cv::Size text = font.text_size(label, 11);
  cv::rectangle(overlay, cv::Point(tl.x, tl.y - text.height - 4), cv::Point(tl.x + text.width + 4, tl.y), opaque,
                cv::FILLED);
  font.put_text(overlay, label, cv::Point(tl.x + 2, tl.y - text.height - 2), 11, cv::Scalar(255, 255, 255, 255));
}

// Composites `overlay` over `base` (both CV_8UC4) in place of `base`.
void composite_overlay(cv::Mat& base, const cv::Mat& overlay) {
  for (int y = 0; y < base.rows; ++y) {
    const cv::Vec4b* s = overlay.ptr<cv::Vec4b>(y);
    cv::Vec4b* d = base.ptr<cv::Vec4b>(y);
    for (int x = 0; x < base.cols; ++x) {
      if (s[x][3] == 0) continue;
      const double sa = s[x][3] / 255.0, da = d[x][3] / 255.0, oa = sa + da * (1 - sa);
      for (int c = 0; c < 3; ++c) d[x][c] = cv::saturate_cast<uchar>((s[x][c] * sa + d[x][c] * da * (1 - sa)) / oa);
      d[x][3] = cv::saturate_cast<uchar>(oa * 255);
    }
  }
}

std::string six_decimals(double v) {
  // "%.6f" of 1e300 has over 300 digits; size the buffer from the value.
  const int n = std::snprintf(nullptr, 0, "%.6f", v);
  std::string out(static_cast<std::size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, "%.6f", v);
  return out;
}

cv::Mat render_annotation(const std::string& json_path, const std::optional<std::string>& save_path, bool box_drawing,
                          const std::optional<std::vector<int>>& object_ids, std::mt19937& rng) {
  const nlohmann::json doc = read_annotation_json(json_path);
  const std::string file = "'" + json_path + "'";
  const nlohmann::json& image_path = require_key(doc, "image_path", file);
  if (!image_path.is_string()) throw std::invalid_argument(file + ": \"image_path\" is not a string");
  cv::Mat frame = read_image(image_path.get<std::string>(), cv::IMREAD_UNCHANGED);
  if (frame.depth() != CV_8U || frame.channels() == 2) frame = read_image(image_path.get<std::string>(), cv::IMREAD_COLOR);
  cv::Mat picture = to_bgra_image(frame);
  cv::Mat overlay(picture.size(), CV_8UC4, cv::Scalar(255, 255, 255, 0));
  const nlohmann::json& detections = require_key(doc, "detections", file);
  if (!detections.is_array()) throw std::invalid_argument(file + ": \"detections\" is not an array");
  for (std::size_t d = 0; d < detections.size(); ++d) {
    const std::string where = file + ", detection " + std::to_string(d);
    const std::int64_t object_id = json_int64(require_key(detections[d], "object_id", where), where + ": \"object_id\"");
    if (object_ids && std::find(object_ids->begin(), object_ids->end(), object_id) == object_ids->end()) continue;
    draw_detection(overlay, detections[d], box_number_of(detections[d], where), box_drawing, rng, where);
  }
  composite_overlay(picture, overlay);
  if (save_path && !save_path->empty()) write_image_file_atomically(*save_path, picture);
  return picture;
}

}  // namespace

cv::Mat retrieve_annotation(const std::string& json_path, const std::optional<std::string>& save_path,
                            bool box_drawing, const std::optional<std::vector<int>>& object_ids) {
  std::mt19937 rng(std::random_device{}());
  return render_annotation(json_path, save_path, box_drawing, object_ids, rng);
}

cv::Mat retrieve_annotation_seeded(const std::string& json_path, const std::optional<std::string>& save_path,
                                   bool box_drawing, std::uint32_t colour_seed) {
  std::mt19937 rng(colour_seed);
  return render_annotation(json_path, save_path, box_drawing, std::nullopt, rng);
}

void rescale_swapped_polygons(PyJson& doc, cv::Size image_size, const std::string& file) {
  const double x_scale = static_cast<double>(image_size.height) / image_size.width;
  const double y_scale = static_cast<double>(image_size.width) / image_size.height;
  PyJson* detections = doc.find("detections");
  if (detections == nullptr) throw std::out_of_range(file + ": missing key \"detections\"");
  if (!detections->is_array()) throw std::invalid_argument(file + ": \"detections\" is not an array");
  for (std::size_t d = 0; d < detections->items().size(); ++d) {
    const std::string where = file + ", detection " + std::to_string(d);
    PyJson& detection = detections->items()[d];
    PyJson* polygons = detection.is_object() ? detection.find("formatted_polygon") : nullptr;
    if (polygons == nullptr) throw std::out_of_range(where + ": missing key \"formatted_polygon\"");
    if (!polygons->is_array()) throw std::invalid_argument(where + ": \"formatted_polygon\" is not an array");
    PyJson repaired = PyJson::array();
    for (std::size_t k = 0; k < polygons->items().size(); ++k) {
      const std::string at = where + ", polygon " + std::to_string(k);
      const PyJson& item = polygons->items()[k];
      if (!item.is_string()) throw std::invalid_argument(at + ": not a string");
      const PolygonString polygon = parse_polygon_string(item.text(), at);
      std::string text = polygon.identifier;
      for (std::size_t i = 0; i + 1 < polygon.coords.size(); i += 2) {
        text += " " + six_decimals(polygon.coords[i] * x_scale) + " " + six_decimals(polygon.coords[i + 1] * y_scale);
      }
      repaired.items().push_back(PyJson::string(std::move(text)));
    }
    *polygons = std::move(repaired);
  }
}

namespace {

// The document of `json_path` with its polygons rescaled, or the reason its
// image could not be read.
struct FixedDocument {
  std::optional<std::string> text;
  std::string image_error;
};

FixedDocument fixed_document(const std::string& json_path) {
  const std::string file = "'" + json_path + "'";
  PyJson doc = parse_py_json(read_regular_file(json_path, kAnnotationFileWhat, JsonLimits{}.max_bytes),
                             std::string(kAnnotationFileWhat) + " " + file);
  const PyJson* image_path = doc.is_object() ? doc.find("image_path") : nullptr;
  if (image_path == nullptr) throw std::out_of_range(file + ": missing key \"image_path\"");
  cv::Size size;
  try {
    if (!image_path->is_string()) throw std::invalid_argument("\"image_path\" is not a string");
    size = read_image(image_path->text(), cv::IMREAD_UNCHANGED).size();
  } catch (const std::exception& e) {
    return {std::nullopt, e.what()};
  }
  rescale_swapped_polygons(doc, size, file);
  return {doc.dump(), ""};
}

}  // namespace

std::string polygon_scaling_fixed(const std::string& json_path) {
  FixedDocument fixed = fixed_document(json_path);
  if (!fixed.text) throw std::runtime_error("'" + json_path + "': cannot load its image: " + fixed.image_error);
  return std::move(*fixed.text);
}

void fix_polygon_scaling(const std::string& json_path, const std::optional<std::string>& save_path) {
  const FixedDocument fixed = fixed_document(json_path);
  if (!fixed.text) {
    output() << "Error loading image: " << fixed.image_error << "\n";
    return;
  }
  write_file_atomically(save_path.value_or(json_path), *fixed.text);
}

}  // namespace pelk
