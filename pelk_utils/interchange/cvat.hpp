// CVAT for video 1.1 XML: <annotations> with a <meta><task> (size, frames,
// label "pig", original size) and one <track> per identity holding a
// <polygon frame outside occluded keyframe points="x,y;x,y;..." z_order> per
// frame. Tracks are gathered per identity, so the writer holds the document
// until it finishes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pelk_utils/interchange/export_frame.hpp"

namespace pelk {

// Returns `text` with &, <, >, " and ' escaped for an XML attribute or text.
std::string xml_escaped(const std::string& text);

// Returns a polygon (x0, y0, x1, y1, ...) as CVAT's points attribute
// "x0,y0;x1,y1;..." in shortest round-trip decimals.
std::string cvat_points(const std::vector<double>& polygon);

// Returns a writer of CVAT for video 1.1 XML to `path`; `task_name` names
// the task in its meta.
std::unique_ptr<TrackWriter> cvat_writer(const std::string& path, const std::string& task_name);

}  // namespace pelk
