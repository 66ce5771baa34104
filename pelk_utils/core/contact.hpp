// Contact between two animals' masks: whether they come within a few pixels
// of each other (touching or covering). The identity repair and the
// behaviour measures share this one rule.
#pragma once

#include "pelk_utils/core/mask.hpp"

namespace pelk {

// Returns true when a pixel of `b` lies within `px` pixels (a disc) of a
// pixel of `a`, that is, when the masks share a pixel or `a` grown by `px`
// meets `b`. Masks on one frame size.
bool masks_within(const Mask& a, const Mask& b, int px);

}  // namespace pelk
