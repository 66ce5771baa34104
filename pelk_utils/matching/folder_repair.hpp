// Identity repair of a clip folder, as `pelk repair` and the Python package
// run it: an interrupted earlier run is finished (or, in a dry run, only
// reported), leftovers of killed runs are removed, every episode is decided
// and the exchanges found are written through the file-change machinery, so
// `undo_file_changes` takes them back byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "pelk_utils/annotation/identity_swap.hpp"
#include "pelk_utils/matching/identity_repair.hpp"

namespace pelk {

struct FolderRepair {
  std::size_t finished_files = 0;     // files of an interrupted repair written to finish it
  std::string finished_description;   // what that repair did ("" when none was pending)
  std::size_t leftovers = 0;          // leftovers of killed runs removed (or, in a dry run, found)
  std::vector<SwapDecision> decisions;
  std::vector<IdentitySwap> swaps;    // the exchanges decided, in order
  std::size_t files_changed = 0;      // files the exchanges change (in a dry run: would change)
  std::string description;            // the exchanges in words ("object ids 2 and 3 after frame 40")
};

// Repairs the annotation folder `dir` with `settings` (checked first).
// With `dry_run` nothing is written in any state of the folder. Throws
// std::runtime_error when a dry run finds an interrupted repair pending,
// std::invalid_argument when the folder holds no annotation files, when a
// finished repair is there and a new exchange was found (undo it first), or
// when its manifest is damaged or not its own; errors of the file changes
// as apply_file_changes.
FolderRepair repair_clip_folder(const std::string& dir, ImagePredictor& image_predictor,
                                const RepairSettings& settings = {}, bool dry_run = false);

// Returns the words for a verdict: "kept", "exchanged" or "unclear".
const char* verdict_name(SwapVerdict verdict);

}  // namespace pelk
