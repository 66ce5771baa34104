// CVAT for video 1.1 XML: <annotations> with a <meta><task> (size, frames,
// label "pig", original size) and one <track> per identity holding a
// <polygon frame outside occluded keyframe points="x,y;x,y;..." z_order> per
// frame, each naming its identity in an <attribute name="identity">. Tracks
// are gathered per identity, so the writer holds the document until it
// finishes. The reader takes CVAT's own files too (polygons and boxes).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pelk_utils/interchange/export_frame.hpp"
#include "pelk_utils/interchange/imported_tracks.hpp"

namespace pelk {

// Returns `text` with &, <, >, " and ' escaped for an XML attribute or text.
std::string xml_escaped(const std::string& text);

// Returns a polygon (x0, y0, x1, y1, ...) as CVAT's points attribute
// "x0,y0;x1,y1;..." in shortest round-trip decimals.
std::string cvat_points(const std::vector<double>& polygon);

// Returns a writer of CVAT for video 1.1 XML to `path`; `task_name` names
// the task in its meta. Each track's shapes beyond `spill_bytes` wait in a
// scratch file, so memory stays flat over a day of frames.
std::unique_ptr<TrackWriter> cvat_writer(const std::string& path, const std::string& task_name,
                                         std::size_t spill_bytes = std::size_t{1} << 18);

// Reads CVAT for video 1.1 XML: every <track>'s <polygon> and <box> shapes
// (outside="1": absent in that frame); a track's identity is its shapes'
// "identity" attribute when present, else "track <id>"; a track with a
// "part_of" attribute adds its polygons to the identity it names. Other shape
// kinds are skipped with a note. The frame size is meta's original_size.
// The document may declare no document type: entities are never expanded
// and external ones never fetched. Throws std::invalid_argument naming the
// file (and line) for a document that is not well-formed, declares a
// document type, is not CVAT for video, or holds a bad number, points of an odd
// count, a box of negative size, a frame outside
// 0..kMaxImportedFrame, a frame size beyond kMaxImportedFrameSide, or a
// track with two shapes on one frame; std::runtime_error when it cannot be read.
ImportedTracks read_cvat(const std::string& path);

}  // namespace pelk
