// Tools on single annotation files: draw one over its frame for review, and
// repair a file whose polygons were normalised with width and height
// swapped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/py_json.hpp"

namespace pelk {

// Returns the frame named by the annotation file at `json_path` as a new
// CV_8UC4 BGRA image with the selected detections drawn: each one's polygons
// (vertices x * width, y * height, sub-pixel) filled in a fresh random colour
// at alpha 100, later fills replacing earlier ones. With `box_drawing`, also
// its last "xyxy" box (2 px) and a "Box N" label plate (N = object_id - 1);
// a detection with an empty "xyxy" gets its fill but no box or label.
// `object_ids` std::nullopt draws all detections, otherwise those whose
// "object_id" is listed. When `save_path` is non-empty the picture is also
// written there (format from the extension; replaced atomically). Throws
// std::runtime_error for unreadable files and failed writes,
// std::invalid_argument for malformed content and std::out_of_range for a
// missing key; messages name the file and detection.
cv::Mat retrieve_annotation(const std::string& json_path, const std::optional<std::string>& save_path = std::nullopt,
                            bool box_drawing = false, const std::optional<std::vector<int>>& object_ids = std::nullopt);

// Returns what retrieve_annotation returns for every detection, with the
// colours drawn from a generator seeded with `colour_seed`: the same file
// always gives the same picture, and files that list their objects in the
// same order colour them alike (the review page uses it, so an animal keeps
// its colour from frame to frame and pages are reproducible).
cv::Mat retrieve_annotation_seeded(const std::string& json_path, const std::optional<std::string>& save_path,
                                   bool box_drawing, std::uint32_t colour_seed);

// Rescales every polygon coordinate of the annotation file at `json_path`
// (x by height / width, y by width / height of its image) and writes the
// document to `save_path`, or back to `json_path` when none is given:
// key order and unknown keys kept, 4-space indent, non-ASCII escaped,
// coordinates with six decimals. The target is replaced atomically, so it
// holds either the old or the new document. When the image cannot be read,
// prints "Error loading image: " and the reason and writes nothing. Not
// idempotent: each file must be repaired once.
void fix_polygon_scaling(const std::string& json_path, const std::optional<std::string>& save_path = std::nullopt);

// Returns the document fix_polygon_scaling would write for `json_path`,
// without writing it, so that a caller can check a whole batch before the
// first write. Throws std::runtime_error naming the file when its image
// cannot be read; other errors as fix_polygon_scaling's.
std::string polygon_scaling_fixed(const std::string& json_path);

// Rewrites, in `doc`, every polygon of every detection as the repair does for
// an image of `image_size` (x by height / width, y by width / height, six
// decimals); everything else stays. `file` names the document in errors.
// Throws std::out_of_range for a missing "detections" or "formatted_polygon"
// and std::invalid_argument for malformed content.
void rescale_swapped_polygons(PyJson& doc, cv::Size image_size, const std::string& file);

}  // namespace pelk
