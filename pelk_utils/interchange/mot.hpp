// MOTChallenge text: "frame,id,x,y,w,h,conf,-1,-1,-1" per object per frame,
// frames and ids from 1. The writer streams rows; the key and frame mapping
// goes beside the file as <path>.json. The reader takes any such file, of
// trackers or of truth.
#pragma once

#include <memory>
#include <string>

#include "pelk_utils/core/box.hpp"
#include "pelk_utils/interchange/export_frame.hpp"
#include "pelk_utils/interchange/imported_tracks.hpp"

namespace pelk {

// Returns the MOT row of one object: frame and id as given, the box's pixels
// as left, top, width, height (x_max - x_min + 1), confidence 1.
std::string mot_row(std::size_t frame, std::int64_t id, const Box& box);

// Returns a writer of MOT text to `path` (and the mapping to `path`.json).
std::unique_ptr<TrackWriter> mot_writer(const std::string& path);

// Which side a file stands for: truth rows with confidence 0 are the
// benchmark's "ignore" rows; tracked rows all count, whatever their
// confidence (trackers write -1 there).
enum class TrackSide { kTracked, kTruth };

// Reads MOT text: rows of at least six comma- (or space-) separated numbers
// frame, id, left, top, width, height[, conf, ...]; only these (and the
// truth's conf) are read, blank lines skipped; boxes are (left, top, left +
// width, top + height). Throws std::invalid_argument naming the file and
// line for a row that is short or holds a non-number, NaN or infinity, a
// frame or id that is not a whole number, a frame below 0 or above
// kMaxImportedFrame, a negative width or height, a coordinate beyond 10^7,
// or an id given twice in one frame; std::runtime_error when the file
// cannot be read.
ImportedTracks read_mot(const std::string& path, TrackSide side);

}  // namespace pelk
