// Repair of swapped identities: two animals that lie on each other or cross
// can come out of it with their identities exchanged. For every overlap
// episode this decides, from the frames just before and just after it,
// whether the pair's identities were exchanged: each box after the episode
// is compared with both boxes before it, by region features (the image
// encoder the overlap resolution uses) and by position (where each animal
// was heading), and the better assignment wins when its margin is clear.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/identity_swap.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

// A run of consecutive frames in which two boxes overlap.
struct OverlapEpisode {
  std::string box_a, box_b;  // in plain character order
  int first_frame = 0, last_frame = 0;  // frame keys, inclusive
};

struct RepairSettings {
  double intersection_thrr = 80;  // percent of either mask covered by the other
  int min_frames = 3;             // shortest episode considered
  double apart_percent = 10;      // compared frames: neither mask covers more of the other than this
  int search_frames = 20;         // how far to look for such a frame on each side
  int motion_frames = 5;          // frames before the episode that give each animal's heading
  double margin = 0.3;            // the better assignment must win by this much (chosen on bench_repair's scenes)
};

// Throws std::invalid_argument naming the setting when one makes no sense:
// a margin that is negative or not a number (a negative margin would exchange
// identities on a clip that is right), percentages outside 0..100, frame
// counts below their least useful value.
void check_repair_settings(const RepairSettings& settings);

enum class SwapVerdict { kKeep, kSwap, kUnclear };

struct SwapDecision {
  OverlapEpisode episode;
  std::optional<int> before_frame, after_frame;  // the compared frames
  double keep_cost = 0, swap_cost = 0;           // lower is better
  SwapVerdict verdict = SwapVerdict::kUnclear;
  std::string reason;                            // why, in words
};

// Returns the overlap episodes of `clip` in frame order: per pair of boxes,
// runs of at least `min_frames` consecutive frame keys in which one mask
// covers more than `intersection_thrr` percent of the other.
std::vector<OverlapEpisode> find_overlap_episodes(const ClipAnnotationData& clip, const RepairSettings& settings = {});

// Decides every episode in frame order. A swap decided for one episode is
// taken into account (box keys exchanged after it) when the later ones are
// decided, so the returned swaps apply in order. Image paths of the compared
// frames must be readable.
std::vector<SwapDecision> decide_identity_swaps(const ClipAnnotationData& clip, ImagePredictor& image_predictor,
                                                const RepairSettings& settings = {});

// Returns the file swaps of the decisions whose verdict is kSwap (object id
// = box number + 1).
std::vector<IdentitySwap> swaps_of(const std::vector<SwapDecision>& decisions);

}  // namespace pelk
