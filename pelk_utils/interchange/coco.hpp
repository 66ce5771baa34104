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
#include <cstdint>
#include <string>
#include <vector>

#include "pelk_utils/core/mask.hpp"

#include "pelk_utils/interchange/export_frame.hpp"

namespace pelk {

// Returns a writer of COCO JSON to `path`. Segmentations are the polygons
// (area: their shoelace area, as the segmentation has it), or with `rle`
// the masks exactly, as uncompressed COCO RLE over the whole frame in
// column-major order (area: the pixel count).
std::unique_ptr<TrackWriter> coco_writer(const std::string& path, bool rle = false);

// Returns the uncompressed COCO RLE counts of `mask` on its frame: run
// lengths in column-major order, starting with a run of 0s (maybe empty).
std::vector<std::int64_t> coco_rle_counts(const Mask& mask);

}  // namespace pelk
