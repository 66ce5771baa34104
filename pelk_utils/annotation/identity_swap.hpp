// Identity swaps written into a clip's annotation files. A swap exchanges
// two object ids in every file after a given frame; the changes are written
// through the file-change machinery (file_changes.hpp), so they can be
// finished after an interruption and undone byte for byte.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/file_changes.hpp"

namespace pelk {

// Exchange object ids `object_a` and `object_b` in every file whose frame key
// is after `after_frame` (the clip's frame keys: positions in file order).
struct IdentitySwap {
  int after_frame = 0;
  std::int64_t object_a = 0, object_b = 0;
};

// Returns `json_text` with object ids `a` and `b` exchanged in its
// "detections" (written as Python's json.dumps(indent=4) writes; every other
// value keeps its text). Throws std::invalid_argument naming `where` for
// text that is not an annotation document.
std::string swap_object_ids(const std::string& json_text, std::int64_t a, std::int64_t b, const std::string& where);

// Returns `json_text` with every object id in its "detections" that `to`
// maps replaced by its image (ids it does not map keep theirs); the text
// itself when nothing changes. Throws as swap_object_ids.
std::string relabel_object_ids(const std::string& json_text, const std::map<std::int64_t, std::int64_t>& to,
                               const std::string& where);

// Returns the changes `swaps` (applied in order) make to the files of
// `clip`; files they leave as they are are not listed.
std::vector<FileChange> plan_identity_swaps(const ClipAnnotationData& clip, const std::vector<IdentitySwap>& swaps);

}  // namespace pelk
