// Zones of a pen: named polygons (feeder, drinker, dunging area, any name)
// drawn in a LabelMe-style JSON like the pen polygon. An animal is in a zone
// when its mask's centroid is; overlapping zones each count.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace pelk {

struct Zone {
  std::string name;                  // the shape's "label"
  std::vector<cv::Point2f> polygon;  // full-frame pixels
};

// Reads the zones of a LabelMe-style JSON: every shape of "shapes" with a
// "label" and "points" [[x, y], ...]. Throws std::invalid_argument naming the
// file and the zone for a file of another format (no "shapes" list), a shape
// without a label or with fewer than three points, a zone of no area, one
// that leaves the frame (`frame`, when not empty), or two zones of one name;
// std::runtime_error when the file cannot be read.
std::vector<Zone> read_zones(const std::string& path, cv::Size frame = {});

// Returns true when `point` lies inside `zone` or on its outline.
bool in_zone(const Zone& zone, cv::Point2d point);

}  // namespace pelk
