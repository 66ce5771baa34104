// Pictures of behaviour measures a person reads at a glance: every animal's
// path over a frame of the pen, activity and size across the day (one line
// per animal, colours as on the review page), time in zones (stacked bars)
// and the contact matrix (a heat map).
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/behaviour/behaviour.hpp"

namespace pelk {

// Returns the colour (BGR) of the animal at position `index`, the review
// page's palette.
cv::Scalar animal_colour(std::size_t index);

// Writes paths.png, activity.png, size.png, zones.png (with zones) and
// contacts.png into `out_dir`; returns their paths. Each is a CV_8UC3
// picture in pixels of its own; the paths are drawn in frame pixels over the
// first frame (dimmed), or a blank frame when it cannot be read.
std::vector<std::string> write_behaviour_plots(const BehaviourResult& result, const std::string& out_dir);

}  // namespace pelk
