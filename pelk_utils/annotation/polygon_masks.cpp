#include "pelk_utils/annotation/polygon_masks.hpp"

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <stdexcept>

#include <simdjson.h>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/internal/full_masks_reader.hpp"
#include "pelk_utils/core/json_file.hpp"
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

// Unites the filled polygons of one detection into one mask; `polygon(k,
// where)` gives polygon k's text (or throws, naming `where`).
Mask detection_mask(std::size_t count, const std::function<std::string_view(std::size_t, const std::string&)>& polygon,
                    cv::Size frame, const std::string& where) {
  std::vector<std::vector<cv::Point>> all;
  all.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::string at = where + ", polygon " + std::to_string(k);
    const PolygonString parsed = parse_polygon_string(polygon(k, at), at);
    all.push_back(vertices(parsed, frame.height, frame.width, at));
  }
  try {
    return fill_polygons_mask(all, frame);
  } catch (const MaskTooLarge& e) {
    throw MaskTooLarge(where + ": " + e.what() + " (the frame is " + std::to_string(frame.width) + " x " +
                       std::to_string(frame.height) + ")");
  }
}

// What the masks need of an annotation file: its image and, per detection,
// the object id (when it has one) and the polygon strings.
struct Detection {
  std::optional<std::int64_t> object_id;
  std::vector<std::string_view> polygons;
};
struct Document {
  std::string image_path;
  std::vector<Detection> detections;
};

// How deep the fast road reads: below the full reader's limit, so that what
// it takes the full reader takes too.
constexpr std::size_t kPlainDepth = 128;
static_assert(kPlainDepth < static_cast<std::size_t>(JsonLimits{}.max_depth));

// The fast road through a file (simdjson, the polygon strings read in
// place). It takes only the plain case: a valid document whose keys it
// reads occur once, with the types they should have and whole-number ids.
// Anything else returns std::nullopt, and the full reader gives its one
// established answer, result or error. The views live in `parser`.
std::optional<Document> read_plainly(simdjson::dom::parser& parser, const std::string& text) {
  simdjson::dom::object root;
  if (parser.parse(text).get(root) != simdjson::SUCCESS) return std::nullopt;
  Document doc;
  bool image = false, detections = false;
  for (const simdjson::dom::key_value_pair field : root) {
    if (field.key == "image_path") {
      std::string_view path;
      if (image || field.value.get_string().get(path) != simdjson::SUCCESS) return std::nullopt;
      doc.image_path = path;
      image = true;
    } else if (field.key == "detections") {
      simdjson::dom::array list;
      if (detections || field.value.get_array().get(list) != simdjson::SUCCESS) return std::nullopt;
      detections = true;
      for (const simdjson::dom::element item : list) {
        simdjson::dom::object object;
        if (item.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
        Detection d;
        bool polygons = false;
        for (const simdjson::dom::key_value_pair f : object) {
          if (f.key == "object_id") {
            std::int64_t id = 0;
            if (d.object_id || f.value.get_int64().get(id) != simdjson::SUCCESS) return std::nullopt;
            d.object_id = id;
          } else if (f.key == "formatted_polygon") {
            simdjson::dom::array strings;
            if (polygons || f.value.get_array().get(strings) != simdjson::SUCCESS) return std::nullopt;
            polygons = true;
            for (const simdjson::dom::element p : strings) {
              std::string_view polygon;
              if (p.get_string().get(polygon) != simdjson::SUCCESS) return std::nullopt;
              d.polygons.push_back(polygon);
            }
          }
        }
        if (!polygons) return std::nullopt;
        doc.detections.push_back(std::move(d));
      }
    }
  }
  if (!image || !detections) return std::nullopt;
  return doc;
}

// The full reader: every check, every error message, in the file's order.
PolygonMasks masks_fully(const nlohmann::json& doc, const std::string& file, cv::Size frame) {
  PolygonMasks out;
  const nlohmann::json& image_path = require_key(doc, "image_path", file);
  if (!image_path.is_string()) throw std::invalid_argument(file + ": \"image_path\" is not a string");
  out.image_path = image_path.get<std::string>();
  const nlohmann::json& detections = require_key(doc, "detections", file);
  if (!detections.is_array()) throw std::invalid_argument(file + ": \"detections\" is not an array");
  for (std::size_t d = 0; d < detections.size(); ++d) {
    const std::string where = file + ", detection " + std::to_string(d);
    const nlohmann::json& detection = detections[d];
    const std::int64_t box_number = box_number_of(detection, where);
    const nlohmann::json& polygons = require_key(detection, "formatted_polygon", where);
    if (!polygons.is_array()) throw std::invalid_argument(where + ": \"formatted_polygon\" is not an array");
    out.masks.push_back(detection_mask(
        polygons.size(),
        [&](std::size_t k, const std::string& at) -> std::string_view {
          if (!polygons[k].is_string()) throw std::invalid_argument(at + ": not a string");
          return polygons[k].get_ref<const std::string&>();
        },
        frame, where));
    out.boxkeys.push_back(box_number);
  }
  return out;
}

}  // namespace

PolygonMasks process_json_and_generate_masks(const std::string& json_path, int height, int width) {
  if (height <= 0 || width <= 0) {
    throw std::invalid_argument("raster size must be positive, got " + std::to_string(width) + "x" +
                                std::to_string(height) + " for '" + json_path + "'");
  }
  const std::string file = "'" + json_path + "'";
  const std::string text = read_regular_file(json_path, kAnnotationFileWhat, JsonLimits{}.max_bytes);
  const cv::Size frame(width, height);
  // Nested deeper than the full reader allows: simdjson refuses it first
  // (a lower limit), and the full reader says why.
  thread_local simdjson::dom::parser parser(simdjson::SIMDJSON_MAXSIZE_BYTES);
  thread_local const bool depth_set = parser.allocate(0, kPlainDepth) == simdjson::SUCCESS;
  std::optional<Document> doc;
  if (depth_set) doc = read_plainly(parser, text);
  if (!doc) return masks_fully(parse_json_text(text, std::string(kAnnotationFileWhat) + " '" + json_path + "'"), file, frame);
  PolygonMasks out;
  out.image_path = std::move(doc->image_path);
  for (std::size_t d = 0; d < doc->detections.size(); ++d) {
    const std::string where = file + ", detection " + std::to_string(d);
    const Detection& detection = doc->detections[d];
    const std::int64_t box_number = detection.object_id ? box_number_of_id(*detection.object_id, where) : -1;
    out.masks.push_back(detection_mask(
        detection.polygons.size(), [&](std::size_t k, const std::string&) { return detection.polygons[k]; }, frame,
        where));
    out.boxkeys.push_back(box_number);
  }
  return out;
}

namespace internal {

PolygonMasks masks_by_full_reader(const std::string& json_path, int height, int width) {
  const std::string text = read_regular_file(json_path, kAnnotationFileWhat, JsonLimits{}.max_bytes);
  return masks_fully(parse_json_text(text, std::string(kAnnotationFileWhat) + " '" + json_path + "'"),
                     "'" + json_path + "'", cv::Size(width, height));
}

}  // namespace internal
}  // namespace pelk
