// MOTChallenge text: "frame,id,x,y,w,h,conf,-1,-1,-1" per object per frame,
// frames and ids from 1. The writer streams rows; the key and frame mapping
// goes beside the file as <path>.json.
#pragma once

#include <memory>
#include <string>

#include "pelk_utils/core/box.hpp"
#include "pelk_utils/interchange/export_frame.hpp"

namespace pelk {

// Returns the MOT row of one object: frame and id as given, the box's pixels
// as left, top, width, height (x_max - x_min + 1), confidence 1.
std::string mot_row(std::size_t frame, std::int64_t id, const Box& box);

// Returns a writer of MOT text to `path` (and the mapping to `path`.json).
std::unique_ptr<TrackWriter> mot_writer(const std::string& path);

}  // namespace pelk
