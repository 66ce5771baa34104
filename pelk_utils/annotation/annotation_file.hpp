// The per-frame annotation file written by the tracking run: {"image_path",
// "detections": [{"object_id", "xyxy", "formatted_polygon"}]}. Polygons are
// strings "<identifier> x1 y1 x2 y2 ..." with coordinates normalised by the
// image width (x) and height (y). These helpers read them strictly, with
// errors that name the file, the detection and the offending token.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pelk {

struct PolygonString {
  std::string identifier;     // first token, never interpreted
  std::vector<double> coords; // x1, y1, x2, y2, ... (normalised)
};

// Reads and parses the JSON document at `path`. Throws std::runtime_error
// when the file cannot be opened and std::invalid_argument when it is not
// JSON; both name the path.
nlohmann::json read_json_file(const std::string& path);

// Same, keeping the key order of every object (for rewriting files).
nlohmann::ordered_json read_ordered_json_file(const std::string& path);

// Splits a polygon string at whitespace into its identifier and coordinate
// pairs. Throws std::invalid_argument naming `where` when a token is not a
// finite decimal number, when the count of coordinates is odd, or when no
// coordinate follows the identifier.
PolygonString parse_polygon_string(const std::string& text, const std::string& where);

// Returns the value of `key` in `object`; throws std::out_of_range naming
// the key and `where` when it is missing.
const nlohmann::json& require_key(const nlohmann::json& object, const std::string& key, const std::string& where);

// Returns "Box" followed by the decimal text of `box_number`.
std::string box_key(long long box_number);

}  // namespace pelk
