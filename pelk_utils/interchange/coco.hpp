// COCO instance segmentation JSON: "annotations" (one per animal per frame:
// polygons, bbox, area, category "pig", the identity as
// attributes.track_id and track_id), "images" (file name, size, and the
// frame's time when known) and "categories". Annotations stream to the
// file as frames come; images follow them (JSON keys have no order).
#pragma once

#include <memory>
#include <string>

#include "pelk_utils/interchange/export_frame.hpp"

namespace pelk {

// Returns a writer of COCO JSON to `path`.
std::unique_ptr<TrackWriter> coco_writer(const std::string& path);

}  // namespace pelk
