// The per-frame annotation file written by the tracking run: {"image_path",
// "detections": [{"object_id", "xyxy", "formatted_polygon"}]}. Polygons are
// strings "<identifier> x1 y1 x2 y2 ..." with coordinates normalised by the
// image width (x) and height (y). These helpers read them strictly, with
// errors that name the file, the detection and the offending token.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace pelk {

struct PolygonString {
  std::string identifier;     // first token, never interpreted
  std::vector<double> coords; // x1, y1, x2, y2, ... (normalised)
};

// Reads and parses the annotation file at `path` through the guarded JSON
// reader (regular files only, size and depth caps). Throws
// std::runtime_error when the file cannot be read and std::invalid_argument
// when it is not JSON; both name the path.
nlohmann::json read_annotation_json(const std::string& path);

// Names of annotation files in messages.
inline constexpr const char* kAnnotationFileWhat = "annotation file";

// Splits a polygon string at whitespace into its identifier and coordinate
// pairs. Throws std::invalid_argument naming `where` when a token is not a
// finite decimal number, when the count of coordinates is odd, or when no
// coordinate follows the identifier.
PolygonString parse_polygon_string(std::string_view text, const std::string& where);

// Returns the value of `key` in `object`; throws std::out_of_range naming
// the key and `where` when it is missing.
const nlohmann::json& require_key(const nlohmann::json& object, const std::string& key, const std::string& where);

// Returns "Box" followed by the decimal text of `box_number`.
std::string box_key(std::int64_t box_number);

// Returns the box number of a box_key text ("Box<n>", n a signed 64-bit
// decimal), or std::nullopt for any other text.
std::optional<std::int64_t> box_number_of_key(const std::string& key);

// Returns the object id of a box_key text (box number + 1). Throws
// std::invalid_argument naming the key when it is not a box key or its
// number has no successor in 64 bits.
std::int64_t object_id_of_key(const std::string& key);

// Returns the box number of a detection: its "object_id" minus 1, or -1 when
// the key is absent. Throws std::invalid_argument naming `where` when the
// identity is not an integer or is below 1 (it would give the key of an
// absent id, or of another animal).
std::int64_t box_number_of(const nlohmann::json& detection, const std::string& where);

// Returns the box number of a detection's integer "object_id", with the
// errors of box_number_of.
std::int64_t box_number_of_id(std::int64_t object_id, const std::string& where);

// The box numbers met so far in one annotation file: a reader adds each
// detection's, so that an identity written twice in a frame (a tracker fault
// or a hand edit; one animal would vanish under the other's mask) stops the
// read instead of being resolved silently.
class BoxNumbersSeen {
 public:
  explicit BoxNumbersSeen(std::string file) : file_(std::move(file)) {}
  // Throws std::invalid_argument naming the file, the object id and both
  // detection positions when `box_number` was added before.
  void add(std::int64_t box_number, std::size_t detection);

 private:
  std::string file_;
  std::map<std::int64_t, std::size_t> first_detection_;
};

}  // namespace pelk
