// Intersection heat map: an intersections table drawn as an annotated heat
// map so that a reviewer spots pairs of masks lying on top of each other.
#pragma once

#include <opencv2/core.hpp>

#include "pelk_utils/core/intersections_table.hpp"

namespace pelk {

// Figure size of the heat map: 7 x 5 inches at this many dots per inch.
inline constexpr int kHeatmapDpi = 100;

// Returns the colour of `percent` on matplotlib's "Reds" scale from 0
// (lightest) to 100 (darkest), values outside clamped, as BGR.
cv::Vec3b reds_colour(double percent);

// Renders the table's values as a 700 x 500 CV_8UC3 BGR heat map: square
// cells coloured on the "Reds" scale fixed to 0..100 with a colour bar,
// each cell's value with two decimals (8 pt; white on dark cells), 1-px grey
// cell borders, tick labels "Mask i" on both axes, title "Intersection
// Heatmap %", x label "Mask 2", y label "Mask 1". Row and column labels of
// the table are not used.
cv::Mat render_intersection_heatmap(const IntersectionsTable& intersections_df);

// Renders the heat map as render_intersection_heatmap does, but says which
// animal covers which: ticks are the table's box keys, the y label "covered
// animal (row)", the x label "covering animal (column)", the title "% of the
// row animal's mask covered". For pictures people review.
cv::Mat render_keyed_intersection_heatmap(const IntersectionsTable& intersections_df);

// Renders the heat map and presents it through the figure sink.
void draw_intersection_heatmap(const IntersectionsTable& intersections_df);

}  // namespace pelk
