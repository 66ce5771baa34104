// COCO instance segmentation JSON: "annotations" (one per animal per frame:
// polygons, bbox, area, category "pig", the identity as
// attributes.track_id, track_id and instance_id), "videos" (the export is
// one video, named after the file), "images" (file name, size, video_id,
// frame_id counted from 0 in recording order, and the frame's time when
// known) and "categories", so video-aware COCO readers order the frames.
// Annotations stream to the file as frames come; images follow them (JSON
// keys have no order).
#pragma once

#include <memory>
#include <string>

#include "pelk_utils/interchange/export_frame.hpp"

namespace pelk {

// Returns a writer of COCO JSON to `path`.
std::unique_ptr<TrackWriter> coco_writer(const std::string& path);

}  // namespace pelk
