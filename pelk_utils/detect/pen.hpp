// Pen polygon: the outline of the pen a camera looks down on, read from a
// pen-polygon JSON file ({"shapes": [{"points": [[x, y], ...]}, ...]}, only
// the first shape used). Detections and masks are judged against it: how
// much of a box lies inside the pen, and which mask pixels lie inside.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "pelk_utils/core/box.hpp"
#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/core/number.hpp"

namespace pelk {

// One polygon vertex in full-frame pixels; integers in the file stay
// integers, decimals stay floating point.
struct PenPoint {
  Number x;
  Number y;
  friend bool operator==(const PenPoint&, const PenPoint&) = default;
};

// The vertices in file order; the outline closes from the last to the first.
using PenPolygon = std::vector<PenPoint>;

struct PenDrawing {
  cv::Mat image;               // CV_8UC3 BGR frame with the outline; empty unless drawout
  PenPolygon polygon_points;   // the pen polygon as read
};

// Folder holding the per-camera pen-polygon files ("Cam61.json", ...),
// relative to the working directory unless the caller passes its own path.
inline constexpr const char* kDefaultPenPolygonDir = "pen_polygons";

// Reads the pen polygon from `json_path`. With `drawout`, also reads the
// frame at `image_path` as a 3-channel BGR image (whatever the file's colour
// mode) and draws the closed outline on it in red, 3 px wide, with rounded
// joints (vertices rounded to whole pixels). Without `drawout`, `image_path`
// is not opened. Throws std::runtime_error when a file cannot be opened or
// read, std::invalid_argument for malformed content ("No shapes found in the
// JSON file." for an empty "shapes", a coordinate outside the signed 64-bit
// range, or, when drawing, a vertex too far outside the image),
// std::out_of_range for a missing key; every message but the empty-shapes one
// names the file. The outline's validity is not checked here: a
// self-touching outline (a double click) is read, drawn and filled as it is.
PenDrawing draw_pen(const std::string& image_path, const std::string& json_path, bool drawout = false);

// Returns the pen polygon of a parsed pen-polygon document; `json_path`
// names it in errors. Errors as draw_pen's for malformed content.
PenPolygon parse_pen_polygon(const nlohmann::json& doc, const std::string& json_path);

// Throws std::invalid_argument when the outline encloses no area: fewer than
// three distinct points (a closing repeat of the first point does not
// count) or every point on one line. Filling such an outline would clear
// every mask clipped to it. `json_path` (when not empty) is named in the
// message. Call it wherever the pen is used as an area.
void check_pen_area(const PenPolygon& polygon_points, const std::string& json_path = "");

struct PenRatios {
  std::vector<double> intersection_ratio_list;  // percent of each box inside the pen
  std::vector<bool> in_pen_index;               // ratio >= threshold, per box
};

// Measures, for each box (x_min, y_min, x_max, y_max, pixels), the
// percentage of its area that lies inside the pen polygon, and selects the
// boxes whose percentage is at least `ratio_threshold`. Throws
// std::invalid_argument for a box of zero area or with a non-finite corner
// (naming it) and for an invalid polygon (naming the reason); only this
// operation needs a valid polygon.
PenRatios calculate_pen_intersection_ratio(const PenPolygon& polygon_points, const std::vector<Box>& boxes,
                                           double ratio_threshold);

// Returns `custom_pen_json_path` whenever it is given; otherwise the pen
// file of the camera named in `video_dir` (components split at backslashes
// and forward slashes; the first containing "Camera", cut at its first "_"), joined to
// kDefaultPenPolygonDir, or std::nullopt when there is no camera name or no
// file for it. Known cameras: 61, 62, 64, 65, 66, 70.
std::optional<std::string> get_pen_json_path(const std::string& video_dir,
                                             const std::optional<std::string>& custom_pen_json_path = std::nullopt);

// Returns `test_mask` with every pixel outside the pen polygon of
// `pen_json_path` cleared. Vertices are truncated toward zero and filled as
// cv::fillPoly does on the whole frame; the work covers the mask's rectangle.
// Throws check_pen_area's error when the truncated outline encloses no area.
// `frame_names[frame_idx]` (negative counts from the end) is checked but not
// opened. Reads the pen file on every call.
Mask get_in_pen_mask(int frame_idx, const Mask& test_mask, const std::string& pen_json_path,
                     const std::vector<std::string>& frame_names);

}  // namespace pelk
