// The two sides of an evaluation, each read from what the user has: an
// annotation folder, a MOTChallenge text file (.txt) or a CVAT for video XML
// file (.xml), told apart by what the path is.
#pragma once

#include <string>
#include <vector>
#include <utility>

#include "pelk_utils/interchange/mot.hpp"
#include "pelk_utils/quality/track_set.hpp"

namespace pelk {

// Returns what kind of tracks `path` holds: "annotation folder",
// "MOTChallenge text" or "CVAT XML". Throws std::invalid_argument naming
// the path when it is none of them, std::runtime_error when it does not exist.
std::string evaluation_input_kind(const std::string& path);

// Reads one side from `path`; CVAT polygons without a frame size of their
// own are filled at `other_frame_size` (the other side's).
TrackSet read_evaluation_input(const std::string& path, TrackSide side,
                               std::optional<cv::Size> other_frame_size = std::nullopt);

// Returns the frame size of the first mask of `tracks` (none without masks).
std::optional<cv::Size> mask_frame_size(const TrackSet& tracks);

// Reads both sides (`side` of MOT truth rows as read_mot). CVAT polygons
// without a frame size of their own are filled at the other side's frame
// size. Throws std::invalid_argument naming the side and path for a folder
// without annotation files, and as read_mot, read_cvat and the clip loader.
std::pair<TrackSet, TrackSet> read_evaluation_inputs(const std::string& tracked, const std::string& truth);

// Reads a day on each side: clip k of `tracked` against clip k of `truth`
// (as read_evaluation_inputs), the pairs placed one after another on one
// frame line (pair k's frames shifted past every frame of the pairs before),
// so that one measurement scores the day: an animal keeps one identity over
// the day only when its key is the same in every clip. Throws
// std::invalid_argument when the two lists differ in length or are empty.
std::pair<TrackSet, TrackSet> read_day_evaluation_inputs(const std::vector<std::string>& tracked,
                                                         const std::vector<std::string>& truth);

}  // namespace pelk
