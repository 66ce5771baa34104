// Tracks as the measures take them, whatever file they came from: per frame
// number, each present object's identity key and its mask or box. An
// annotation folder, a MOTChallenge text file and a CVAT XML file all become
// one of these, so tracked and truth can come from different tools.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/core/mask.hpp"

namespace pelk {

// A box on continuous pixel coordinates: left, top, right, bottom with
// width = right - left (a mask's pixels x_min..x_max span x_min..x_max + 1).
using ContinuousBox = std::array<double, 4>;

struct TrackObject {
  std::string key;          // identity: "Box3" for a folder, the id for MOT, the track for CVAT
  std::optional<Mask> mask; // absent when the source gives only a box
  ContinuousBox box{};      // the mask's box when there is a mask
};

struct TrackSet {
  std::string source;                                     // what was read, for messages
  std::string kind;                                       // "annotation folder", "MOTChallenge text", "CVAT XML"
  std::map<std::int64_t, std::vector<TrackObject>> frames;  // frame number -> present objects
  std::int64_t ignored = 0;                               // rows not counted (MOT truth with conf 0)
  std::vector<std::string> notes;                         // what reading skipped or assumed
  // Truth only (MOT truth with the benchmark's class column and a
  // distractor in it): per frame, every truth row's box and whether its
  // class is a distractor. A tracked box matched to a distractor row (one
  // assignment on box IoU >= 0.5 over all rows) is not counted, as the
  // benchmark's preprocessing drops it.
  std::map<std::int64_t, std::vector<std::pair<ContinuousBox, bool>>> distractor_rows;
  // Returns true when every object has a mask.
  bool all_masks() const;
};

// Returns the continuous box of a mask's pixels: (x_min, y_min, x_max + 1,
// y_max + 1); all zeros for an empty mask.
ContinuousBox continuous_box(const Mask& mask);

// Returns a clip's non-empty masks as tracks, frames numbered by the files'
// frame numbers (output_pp_<n>.json); a file without masks keeps its frame.
TrackSet track_set_of(const ClipAnnotationData& clip, const std::string& source = "");

}  // namespace pelk
