// Box: an axis-parallel rectangle in frame pixels, the currency of detections
// and mask bounds. Integers are exact in a double, so one type serves both the
// detector's fractional boxes and the whole-pixel boxes of masks.
#pragma once

#include <array>

namespace pelk {

// x_min, y_min, x_max, y_max in pixels of the full frame.
using Box = std::array<double, 4>;

}  // namespace pelk
