// The full reader of annotation files, which process_json_and_generate_masks
// falls back on for anything but the plain case. Exposed so that tests can
// hold the fast road against it document by document.
#pragma once

#include <string>

#include "pelk_utils/annotation/polygon_masks.hpp"

namespace pelk::internal {

// Returns what process_json_and_generate_masks returns, read by nlohmann_json
// only (no fast road); the same errors.
PolygonMasks masks_by_full_reader(const std::string& json_path, int height, int width);

}  // namespace pelk::internal
