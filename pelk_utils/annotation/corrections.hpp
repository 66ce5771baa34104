// Corrections a person made while proofreading a clip on its review page:
// per decision, two box keys whose identities are exchanged from a frame on
// (or kept), from an episode's verdict or by hand. The page exports them as
// a JSON file; this reads one back, checks it against the clip it was made
// for, and turns it into identity swaps written through the same manifest
// and undo as the automatic repair.
//
// The file (version 1):
//   {"format": "pelk corrections", "version": 1,
//    "clip": "<clip folder name>", "fingerprint": "<clip_fingerprint>",
//    "frames": <number of annotation files>,
//    "decisions": [{"frame": 40, "boxes": ["Box1", "Box2"],
//                   "action": "exchange" | "keep", "source": "verdict" | "hand"}]}
// "frame" is the first frame key whose files get the exchange.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/identity_swap.hpp"

namespace pelk {

struct Correction {
  int frame = 0;                // exchange from this frame key on
  std::string box_a, box_b;     // two different box keys of the clip
  bool exchange = true;         // false: the person confirmed the identities were kept
  bool from_verdict = false;    // an episode's verdict accepted or overridden, not a pick by hand
};

// Returns a fingerprint of the clip's annotation files (their names and
// bytes, in frame order), as the review page records it: 16 hex digits.
// Throws std::runtime_error naming a file that cannot be read.
std::string clip_fingerprint(const ClipAnnotationData& clip);

// Returns the decisions of the corrections file at `path`, checked against
// `clip` (the annotation folder named `clip_name`). Throws
// std::invalid_argument with one line naming the file and what is wrong: not
// a corrections file (or too large, or of another version), made for
// another clip, made for files that changed since, an unknown key, a frame
// outside the clip, a box key the clip does not have, a decision listed
// twice or contradicted.
std::vector<Correction> read_corrections(const std::string& path, const ClipAnnotationData& clip,
                                         const std::string& clip_name);

// Returns the file swaps of the exchanges, in frame order (object id = box
// number + 1).
std::vector<IdentitySwap> swaps_of_corrections(const std::vector<Correction>& corrections);

struct CorrectionsApplied {
  std::vector<IdentitySwap> swaps;
  std::size_t files_changed = 0;  // (in a dry run: would change)
  std::string description;        // the exchanges in words
};

// Applies the corrections file at `path` to the annotation folder `dir`
// through the file-change machinery (atomic replacement, manifest,
// undo_file_changes). With `dry_run` nothing is written. Errors as
// read_corrections and apply_file_changes; std::invalid_argument when the
// folder holds no annotation files.
CorrectionsApplied apply_corrections(const std::string& dir, const std::string& path, bool dry_run = false);

}  // namespace pelk
