// Identity swaps written into a clip's annotation files, and taken back.
// A swap exchanges two object ids in every file after a given frame. The
// files are replaced atomically; before any is touched, the originals go to
// a backup folder and a manifest in the clip folder lists every change, so
// an interrupted run is rolled back and --undo restores the clip byte for
// byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"

namespace pelk {

// Exchange object ids `object_a` and `object_b` in every file whose frame key
// is after `after_frame` (the clip's frame keys: positions in file order).
struct IdentitySwap {
  int after_frame = 0;
  std::int64_t object_a = 0, object_b = 0;
};

// One file's change: its path and its new text.
struct FileChange {
  std::string path;
  std::string original, repaired;
};

// The manifest and backup folder names inside the clip folder.
inline constexpr const char* kRepairManifest = "pelk_repair_manifest.json";
inline constexpr const char* kRepairBackupDir = ".pelk_repair_backup";

// Returns `json_text` with object ids `a` and `b` exchanged in its
// "detections" (written as Python's json.dumps(indent=4) writes; every other
// value keeps its text). Throws std::invalid_argument naming `where` for
// text that is not an annotation document.
std::string swap_object_ids(const std::string& json_text, std::int64_t a, std::int64_t b, const std::string& where);

// Returns the changes `swaps` (applied in order) make to the files of
// `clip`; files they leave as they are are not listed.
std::vector<FileChange> plan_identity_swaps(const ClipAnnotationData& clip, const std::vector<IdentitySwap>& swaps);

// Writes `changes` into the clip folder `dir` as described above. Throws
// std::runtime_error, with every file back as it was, when a file no longer
// holds the text it was planned from (it changed during the repair) or a
// write fails; throws std::invalid_argument when `dir` already holds a
// manifest (undo the earlier repair first).
void apply_file_changes(const std::string& dir, const std::vector<FileChange>& changes, const std::string& description);

// Restores the files a repair of `dir` changed, byte for byte, and removes
// its manifest and backups. Returns the number of files restored (0, with
// nothing done, when there is no manifest). Throws std::runtime_error naming
// the file, with nothing restored, when a repaired file changed since.
std::size_t undo_file_changes(const std::string& dir);

// Returns true when `dir` holds a repair manifest; a manifest left by an
// interrupted repair is rolled back first (and then there is none).
bool has_finished_repair(const std::string& dir);

}  // namespace pelk
