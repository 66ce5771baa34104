// A recording's tracks in the exchange formats of other tools, written from
// the annotation folders of its clips (in order, one clip in memory at a
// time):
//  - MOTChallenge text ("mot"): "frame,id,x,y,w,h,conf,-1,-1,-1" per animal
//    per frame, frames counted from 1 over all clips in order, ids the
//    annotation files' object ids (Box3 -> 4), boxes the mask's pixels'
//    (x = x_min, w = x_max - x_min + 1), conf 1; the key -> id and clip ->
//    frame mapping goes beside as <out>.json;
//  - CVAT for video 1.1 XML ("cvat"): one track per identity, label "pig", a
//    polygon on every frame (keyframe="1"; outside="1" where the animal has
//    no mask), frames counted from 0 over all clips; an animal drawn as
//    several polygons in a frame keeps its largest in its track, the others
//    go to short tracks of their own with the attribute "part_of"; the frame
//    images' names are listed under meta as <pelk_frames>;
//  - COCO instance segmentation JSON ("coco"): images (file name, size and,
//    when known, "frame_time"), one annotation per animal per frame with its
//    polygons, bbox (as MOT's), area (mask pixels), category "pig", and the
//    identity as attributes.track_id (as CVAT writes it) and track_id.
// Polygons are the files' own, in pixels: x x width, y x height of the
// clip's frames, shortest round-trip decimals.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/tracks/clip_stream.hpp"

namespace pelk {

enum class TrackFormat { kMot, kCvat, kCoco, kCocoRle };

// Returns the format named "mot", "cvat", "coco" or "coco-rle"; std::nullopt otherwise.
std::optional<TrackFormat> track_format_named(const std::string& name);

struct ExportSummary {
  std::vector<std::string> notes;  // what was assumed (times, identities)
  std::size_t frames = 0, objects = 0, identities = 0;
  std::string mapping_path;        // MOT's key and frame mapping ("" for the others)
};

// Writes the tracks of `clips` in `format` to `out` (replaced whole at the
// end). Throws std::invalid_argument when `out` lies inside a clip folder or
// an animal has no object id (Box-1), and as stream_clips.
ExportSummary export_tracks(const std::vector<std::string>& clips, TrackFormat format, const std::string& out,
                            const FrameTimeSource& times = {});

}  // namespace pelk
