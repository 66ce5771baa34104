// Repair of swapped identities: two animals that lie on each other, cross
// or touch can come out of it with their identities exchanged. For every
// such episode this decides, from several frames on each side of it, whether
// the pair's identities were exchanged. Three cues each compare "kept" with
// "exchanged": appearance (region features from the image encoder the
// overlap resolution uses, on each animal's nearest whole masks, turned
// upright when it turned), where each animal was before (animals move as
// little as they can) and where each was heading (an animal that walks on
// keeps its course). Identities are exchanged back only on strong evidence:
// no cue against it, the cues together clearing a margin, two cues for it
// (or one by a wide share of its own cost), an assignment that fits well,
// and the frames after the episode bearing it out. Episodes of a pile of
// animals (overlapping in time, sharing animals) are decided together.
// Everything else is "unclear" and left alone: a repair must never do harm.
#pragma once

#include <array>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/identity_swap.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

enum class EpisodeKind {
  kOverlap,       // at least min_frames frames in which one mask covers the other
  kShortOverlap,  // fewer frames of that
  kContact,       // masks touching without covering (a crossing, lying side by side)
};

// A run of consecutive frames in which two boxes overlap or touch.
struct OverlapEpisode {
  std::string box_a, box_b;  // in plain character order
  int first_frame = 0, last_frame = 0;  // frame keys, inclusive
  EpisodeKind kind = EpisodeKind::kOverlap;
};

struct RepairSettings {
  double intersection_thrr = 80;  // percent of either mask covered by the other
  int min_frames = 3;             // shortest episode considered
  double apart_percent = 10;      // compared frames: neither mask covers more of the other than this
  int search_frames = 20;         // how far to look for such a frame on each side
  int motion_frames = 5;          // frames before (and after) the episode that give each animal's heading
  int side_frames = 3;            // frames compared on each side, nearest first
  bool short_contacts = true;     // also decide short overlaps and contacts
  int contact_px = 2;             // masks this close (in pixels) touch
  double margin = 0.2;            // the cues together must favour one answer by this much
  double cue_margin = 0.15;       // one cue favouring an answer by this much votes for it
  // One cue alone decides only when "exchanged" costs at most (1 - this)
  // of "kept" under it: a gap wide against the cue's own scale.
  double decisive_share = 0.2;
  // The winning assignment must fit: per animal, a voting cue's cost at most
  // this (appearance: 1 - cosine; where each was and heading: distance in
  // body sizes). When no voting cue fits, neither assignment explains it.
  double fit_appearance = 0.5, fit_position = 2.5, fit_heading = 2.5;
  int pile_frames = 5;            // episodes this close in time sharing an animal form a pile
  int max_pile_animals = 5;       // larger piles are left unclear (120 assignments)
  int second_look_frames = 10;    // an exchange must hold over this many frames after the episode
  // Appearance is compared on each animal's nearest whole masks (within
  // search_frames of the compared frames): within this share of the box's
  // median area either way. A shred of a mask, or one that took in part of
  // a neighbour, says nothing of an animal's looks; with no whole mask on a
  // side appearance has no answer.
  double whole_share = 0.6;
  // Animals are compared as seen when some assignment keeps every body axis
  // within this many degrees from before to after, upright otherwise.
  double turn_degrees = 20;
  // (margins chosen on bench_repair's tuning scenes, checked on held-out ones)
};

// Throws std::invalid_argument naming the setting when one makes no sense:
// margins that are negative or not numbers (a negative margin would exchange
// identities on a clip that is right), percentages outside 0..100, frame
// and pixel counts below their least useful value.
void check_repair_settings(const RepairSettings& settings);

enum class SwapVerdict { kKeep, kSwap, kUnclear };

// How much each cue favours "kept" over "exchanged": its cost of exchanged
// minus its cost of kept (negative: it favours exchanged; 0: it cannot tell).
struct CueMargins {
  double appearance = 0, position = 0, heading = 0;
};

// Each cue's cost of the two assignments compared, for `animals` animals:
// [0] kept, [1] exchanged (for a pile: the best other assignment).
struct CueCosts {
  std::array<double, 2> appearance{}, position{}, heading{};
  int animals = 2;
};

struct Judgement {
  SwapVerdict verdict = SwapVerdict::kUnclear;
  std::string reason;  // why, in words
};

// Returns the verdict of the evidence rule on `costs`: exchanged when no cue
// says kept, some cue says exchanged (by more than cue_margin), the cues
// together favour it by more than margin, two cues say so or one does by at
// least decisive_share of its kept cost, and a cue that says so fits (its
// exchanged cost within its fit per animal); kept when some cue says kept,
// none says exchanged and the margin is cleared; unclear otherwise, with
// the reason.
Judgement judge_cues(const CueCosts& costs, const RepairSettings& settings);

// Returns the piles among `episodes` (frame order): groups, as indices, of
// episodes linked by sharing an animal while their frames overlap or lie
// within `pile_frames` of each other; single episodes are groups of one.
std::vector<std::vector<std::size_t>> pile_groups(const std::vector<OverlapEpisode>& episodes, int pile_frames);

struct SwapDecision {
  OverlapEpisode episode;
  std::optional<int> before_frame, after_frame;  // the nearest compared frames
  int frames_compared = 0;                       // compared frames on both sides together
  double keep_cost = 0, swap_cost = 0;           // the cues together; lower is better
  CueMargins cues;
  SwapVerdict verdict = SwapVerdict::kUnclear;
  std::string reason;                            // why, in words
  CueCosts costs;                                // what the verdict was judged on
  std::vector<std::string> pile;                 // the pile's boxes, when decided with others
  std::optional<std::pair<int, int>> pile_frames;  // the pile's first and last frame, when decided with others
  // Identities are exchanged after this frame: the episode's last; for an
  // episode decided with its pile, the last frame in which the exchanged
  // pair's masks overlapped, where they parted (the pile's last when that
  // cannot be told: they overlap to its end, or a mask cannot be followed
  // from frame to frame after it; the reason says which); for a pile that
  // some animals never come out of, the last frame before the others came
  // out.
  std::optional<int> swap_after_frame;
};

// Returns the episodes of `clip` in frame order: per pair of boxes, runs of
// consecutive frame keys in which one mask covers more than
// `intersection_thrr` percent of the other (kOverlap from `min_frames`
// frames on, kShortOverlap below), and, with `short_contacts`, runs of
// frames in which the masks come within `contact_px` pixels of each other
// without such covering (kContact).
std::vector<OverlapEpisode> find_overlap_episodes(const ClipAnnotationData& clip, const RepairSettings& settings = {});

// Returns the words for an episode kind ("overlap", "short overlap",
// "contact").
const char* episode_kind_name(EpisodeKind kind);

// Decides every episode in frame order, the episodes of a pile together. A
// swap decided for one episode is taken into account (box keys exchanged
// after it) when the later ones are decided, so the returned swaps apply in
// order. An exchange is withdrawn (unclear) when the frames up to
// second_look_frames after the episode do not bear it out. Image paths of
// the compared frames must be readable.
std::vector<SwapDecision> decide_identity_swaps(const ClipAnnotationData& clip, ImagePredictor& image_predictor,
                                                const RepairSettings& settings = {});

// Returns the file swaps of the decisions whose verdict is kSwap (object id
// = box number + 1).
std::vector<IdentitySwap> swaps_of(const std::vector<SwapDecision>& decisions);

}  // namespace pelk
