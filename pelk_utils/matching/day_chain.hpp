// One set of identities for a day of clips of one pen. Each clip is tracked
// on its own and numbers its animals its own way; the chain relabels clips
// 2..n so every animal keeps the object id it has in the first clip. At a
// boundary between continuous clips the masks on both sides are paired by
// overlap, and where animals overlap there the identity repair's evidence
// and rule decide (one piece of code for both). An animal out of view keeps
// its identity pending until a track appears that no other identity can
// claim (a closed pen); across a time gap animals are paired by appearance.
// Whatever cannot be carried safely gets a new object id, never a guess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/annotation/identity_swap.hpp"
#include "pelk_utils/matching/identity_repair.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

struct ChainSettings {
  RepairSettings repair;         // the episode rule where animals overlap or touch at a boundary
  int animals = 10;              // the pen holds this many animals (a closed pen)
  int window_frames = 50;        // frames of each side joined at a boundary
  double seam_iou = 0.3;         // masks on both sides of a continuous boundary pair from this IoU
  int continuous_frames = 1;     // frames that may be missing between continuous clips (a range's detection frame)
  // Across a gap a pairing by appearance (cost: 1 - cosine of region
  // features) is taken when the track looks like no other animal, and no
  // other track looks like the animal, within gap_margin and gap_ratio times
  // the pairing's cost, and the pairing costs at most gap_fit.
  double gap_margin = 0.005, gap_ratio = 2, gap_fit = 0.35;
  std::optional<double> fps;     // every recording's frame rate, for continuity (none: the masks decide)
  std::map<std::string, double> recording_rates;  // video name -> rate read from the recording
};

// Throws std::invalid_argument naming the setting when one makes no sense.
void check_chain_settings(const ChainSettings& settings);

enum class BoundaryKind {
  kContinuous,  // the later clip starts where the earlier one ended
  kGap,         // time passed between them (another recording, ranges left out)
};

enum class CarryKind {
  kCarried,        // paired by overlap across the boundary
  kExchanged,      // paired by overlap, then exchanged on the repair's evidence
  kByAppearance,   // across a gap, by appearance among the pen's animals
  kByElimination,  // the only identity of the closed pen no other track can claim
  kNewAnimal,      // an animal not seen before in the day (the pen had fewer identities)
  kUnclear,        // could not be carried safely: a new object id above every day id
};

// Returns the words for a kind ("carried", "exchanged", "by appearance",
// "by elimination", "new animal", "unclear").
const char* carry_kind_name(CarryKind kind);
const char* boundary_kind_name(BoundaryKind kind);

// What one track of the later clip became.
struct Carry {
  std::int64_t object_id = 0;  // as tracked in the clip
  std::int64_t day_id = 0;     // the day's object id it now has
  CarryKind how = CarryKind::kCarried;
  int first_frame = 0;         // its first frame key in the clip
  std::string reason;
};

// One boundary, between clips[clip - 1] and clips[clip].
struct ChainBoundary {
  std::size_t clip = 1;
  BoundaryKind kind = BoundaryKind::kContinuous;
  std::string kind_reason;            // how the kind was told
  std::vector<Carry> carries;         // every track of the later clip, in order of first appearance
  std::vector<std::string> pending;   // day identities out of view at it ("Box7")
  std::vector<std::string> notes;     // exchanges decided in either clip near it, in words
  // Returns the boundary's verdict: "unclear" when some track is, else
  // "by elimination" / "by appearance" when some track was, else "carried".
  std::string verdict() const;
  // Returns one line: "clip 3 (NAME): continuous, carried (10 of 10 ...)".
  std::string line(const std::string& clip_name) const;
};

// How one clip is relabelled: object ids mapped, then (day ids) exchanged
// after the given frames, in order.
struct ClipRelabel {
  std::map<std::int64_t, std::int64_t> to;
  std::vector<IdentitySwap> swaps;
  bool changes() const;
  // Returns the day id of `object_id` at frame key `key`.
  std::int64_t day_id(std::int64_t object_id, int key) const;
};

struct DayChain {
  std::vector<ChainBoundary> boundaries;
  std::vector<ClipRelabel> relabels;       // per clip (the first: only exchanges near its end, if any)
  std::vector<std::int64_t> day_ids;       // every day identity given, ascending
  std::size_t files_changed = 0;           // (in a dry run: would change)
  std::size_t clips_changed = 0;
  std::vector<std::string> notes;          // what was assumed (times)
};

// Puts the clips `clips` (annotation folders of one pen, in time order)
// under the identities of the first one, deciding every boundary, and
// writes the relabelling through the file-change machinery (its own
// manifest per clip, so a repair and a chain undo apart) unless `dry_run`.
// Throws std::invalid_argument, with nothing written, for fewer than two
// clips, a folder given twice or without annotation files, clips out of
// time order, a clip holding an interrupted chain, or an earlier chain that
// this one would change (undo it first); errors of the files as the loader's.
DayChain chain_clips(const std::vector<std::string>& clips, ImagePredictor& predictor,
                     const ChainSettings& settings = {}, bool dry_run = false);

// What undo_chain would restore: per clip holding a chain, the clip and its
// file count.
struct ChainUndo {
  std::vector<std::pair<std::string, std::size_t>> clips;
  std::size_t files = 0;
};

// Restores every clip of `clips` that holds a chain (a finished or an
// interrupted one) byte for byte; with `dry_run` only says what it would.
// Throws, with that clip untouched, as undo_file_changes.
ChainUndo undo_chain(const std::vector<std::string>& clips, bool dry_run = false);

}  // namespace pelk
