// Truth (or tracks) from another tool as an annotation folder: a MOT or CVAT
// file's objects written as the per-frame annotation files a tracking run
// writes, so they load, review and proofread like a tracked clip.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "pelk_utils/interchange/imported_tracks.hpp"

namespace pelk {

struct ImportSummary {
  std::size_t files = 0, objects = 0, identities = 0;
  std::vector<std::string> notes;  // what was assumed or skipped
};

// Writes `tracks` as annotation files output_pp_<k>.json in `out_dir`, one
// per image of `frame_images`, k the image's own number (0020.jpg is 20) when
// every image is named by digits, else its position; file frame f goes to
// image number f - `first_frame` (MOT counts from 1, CVAT from 0). Identities become object ids: a MOT id as it
// is, a CVAT "Box<n>" identity n + 1, any other CVAT track its id + 1. Boxes
// become rectangles of the pixels whose centres they contain; polygons are
// written as given (normalised by the image size). Each file names its image
// by an absolute path, so the folder reads from any working folder. Throws
// std::invalid_argument, writing nothing, when `out_dir` already holds
// annotation files, a frame has no image, an id cannot be an object id
// (below 1), two objects of one frame get one object id, or the file's frame
// size differs from the images'.
ImportSummary import_tracks(const ImportedTracks& tracks, const std::vector<std::string>& frame_images,
                            const std::string& out_dir, std::int64_t first_frame);

}  // namespace pelk
