// Behaviour over many clips split into shards (a job array's tasks): each
// shard measures its block of clips and stores the frames' observations in a
// part file; the merge replays the parts in shard order through the same
// measures, so its tables equal one run's over all the clips, bins that
// span two shards included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pelk_utils/behaviour/behaviour.hpp"

namespace pelk {

// Returns the part file name of shard `shard` of `shards`:
// "behaviour-part-K-of-N.bin".
std::string behaviour_part_name(std::size_t shard, std::size_t shards);

struct PartSummary {
  std::int64_t frames = 0;
  std::vector<std::string> notes;
};

// Observes `clips` (the shard's block, in recording order) and writes the
// part file `path` (replaced whole; the settings go with it). Errors as
// behaviour().
PartSummary write_behaviour_part(const std::vector<std::string>& clips, const BehaviourOptions& options,
                                 std::size_t shard, std::size_t shards, const std::string& path);

struct MergedBehaviour {
  BehaviourOptions options;        // the settings the shards ran with
  BehaviourResult result;
  std::vector<std::string> parts;  // the part files, in shard order
};

// Merges the part files in `dir`. Throws std::invalid_argument naming the
// file when a part is missing, found twice or from another split, was
// written with other settings, is incomplete or not a part file, or when
// the parts' frames do not follow each other in time.
MergedBehaviour merge_behaviour_parts(const std::string& dir);

}  // namespace pelk
