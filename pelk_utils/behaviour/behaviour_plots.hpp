// Pictures of the behaviour measures a biologist reads: each animal's path,
// activity, size, time in zones and the contact matrix, each with a title,
// axes in units, readable ticks and one legend of animals in the same colours
// everywhere. A chart keeps the texts it shows beside its pixels, so what it
// says can be checked without looking at the picture.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/behaviour/behaviour.hpp"

namespace pelk {

// One text a chart shows, by role: "title", "x_label", "y_label", "x_tick",
// "y_tick", "legend", "colour_bar" (its label), "colour_tick", "scale_bar".
struct ChartText {
  std::string role, text;
};

struct Chart {
  std::string file;            // "paths.png", ...
  cv::Mat3b image;             // CV_8UC3 BGR
  std::vector<ChartText> texts;
  // Where frame pixel (0, 0) lies in `image` (the paths chart; (0, 0) elsewhere).
  cv::Point frame_origin;
  // Returns the texts of `role`, in drawing order.
  std::vector<std::string> of(const std::string& role) const;
};

// Returns the colour (BGR) of the animal at position `index` of the summary,
// the review page's palette.
cv::Scalar animal_colour(std::size_t index);

// Returns the ticks of an axis over [low, high]: steps of 1, 2, 2.5 or 5 x
// 10^k, about `count` of them, the first at or below `low` and the last at or
// above `high`.
std::vector<double> nice_ticks(double low, double high, int count = 5);

// Returns `value` as a tick label for ticks `step` apart: no more decimals
// than the step needs ("17500", "0.25", "1.5").
std::string tick_label(double value, double step);

// Draws the charts of `result`: paths.png (frame pixels over the first frame,
// dimmed, with a 1 m scale bar when a scale is known), activity.png,
// size.png, zones.png (with zones) and contacts.png.
std::vector<Chart> behaviour_charts(const BehaviourResult& result);

// Writes behaviour_charts(result) into `out_dir`; returns their paths.
std::vector<std::string> write_behaviour_plots(const BehaviourResult& result, const std::string& out_dir);

}  // namespace pelk
