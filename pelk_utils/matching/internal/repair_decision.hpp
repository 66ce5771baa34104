// The decision room of the identity repair and the day chain: an episode, or
// a pile of episodes decided together, judged from the evidence room's costs
// by the evidence rule (judge_cues), with a second look at the frames after
// and the frame where an exchange starts. Not public API.
#pragma once

#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/matching/identity_repair.hpp"
#include "pelk_utils/matching/internal/repair_evidence.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk::internal {

// Returns the costs of "kept" and "exchanged" for judge_cues.
CueCosts cue_costs(const Costs3& kept, const Costs3& exchanged, int animals);

// Fills the decision's figures from the costs it is judged on.
void record_costs(SwapDecision& d, const CueCosts& c);

// Returns what each cue says, in words ("appearance: kept, ...").
std::string cue_words(const CueCosts& c, const RepairSettings& s);

// Returns the boxes separated by ", ".
std::string joined(const std::vector<std::string>& boxes);

// Whether, from frame `key` - 1 to `key`, each of `a` and `b` overlaps its
// own mask more than the other's: the masks can be followed.
bool followed(const ClipAnnotationData& clip, const std::string& a, const std::string& b, int key);

// Where an exchange of two animals, decided for a pile, starts, and why there.
struct ExchangePoint {
  int after_frame = 0;  // the identities are exchanged after this frame
  std::string why;
};

// The identities of two animals can change hands only where their masks
// overlap: an exchange of `a` and `b` decided for a pile in frames
// first..last starts after the last frame in which they share a pixel, when
// each mask can be followed from the parting frame to the pile's end; after
// the pile otherwise.
ExchangePoint exchange_point(const ClipAnnotationData& clip, const std::string& a, const std::string& b, int first,
                             int last);

// Decides one episode, or the episodes of one pile together (the best
// assignment of its animals from just before it to just after it), on
// `clip` as it stands. Exchanges are not applied to `clip`.
std::vector<SwapDecision> decide_episodes(const ClipAnnotationData& clip, const std::vector<OverlapEpisode>& pile,
                                          ImagePredictor& predictor, const UsualAreas& usual, const RepairSettings& s);

}  // namespace pelk::internal
