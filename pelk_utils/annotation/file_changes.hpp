// Changes to a clip folder's annotation files that can always be taken back.
// Before any file is touched, its original and its new text go to a backup
// folder and a manifest in the clip folder lists every change by file name
// (relative to the folder, so a copied or moved folder undoes itself). An
// interrupted run can be finished or rolled back; --undo restores the files
// byte for byte and refuses, with nothing changed, a manifest that does not
// belong to the folder it lies in.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pelk {

// One file's change: its path (a file directly inside the clip folder) and
// its text before and after.
struct FileChange {
  std::string path;
  std::string original, repaired;
};

// A kind of change a folder can hold, each with its own manifest and backup
// folder, so that a clip can hold a repair and a day chain's relabelling at
// once and each undoes on its own.
struct ChangeSet {
  const char* manifest;      // manifest file name inside the clip folder
  const char* backup_dir;    // backup folder name inside the clip folder
  const char* format;        // the manifest's "format" value
  const char* noun;          // what the change is called in messages ("repair")
  const char* undo_command;  // the command that undoes it, for messages
};

// The identity repair's (and the proofreading corrections') changes.
inline constexpr ChangeSet kRepairChanges{"pelk_repair_manifest.json", ".pelk_repair_backup", "pelk repair manifest",
                                          "repair", "pelk repair --undo"};
// The day chain's relabelling.
inline constexpr ChangeSet kChainChanges{"pelk_chain_manifest.json", ".pelk_chain_backup", "pelk chain manifest", "chain",
                                         "pelk chain --undo"};
// The manifest and backup folder names of the repair.
inline constexpr const char* kRepairManifest = kRepairChanges.manifest;
inline constexpr const char* kRepairBackupDir = kRepairChanges.backup_dir;

enum class RepairState {
  kNone,     // no manifest: the folder holds no repair
  kPending,  // a repair was interrupted: some files are repaired, some not
  kApplied,  // a finished repair that --undo can take back
};

// What a clip folder holds of repairs, read without writing anything.
struct RepairStatus {
  RepairState state = RepairState::kNone;
  std::string description;          // what the repair did, in words ("" when none)
  std::size_t files = 0;            // files the repair changes
  bool can_finish = false;          // a pending repair can be finished (its new texts are kept)
  std::vector<std::string> leftovers;  // temporary files and orphaned backups of killed runs
};

// Returns the repair state of clip folder `dir`. Throws std::invalid_argument
// with a one-line reason when its manifest is damaged or not one of ours.
RepairStatus repair_status(const std::string& dir, const ChangeSet& set = kRepairChanges);

// Removes the leftovers repair_status lists (temporary ".pelk-XXXXXX" files
// in `dir` and its backup folder, and a backup folder without a manifest)
// and returns how many it removed.
std::size_t clean_repair_leftovers(const std::string& dir, const ChangeSet& set = kRepairChanges);

// Writes `changes` into clip folder `dir` as described above. Throws
// std::invalid_argument, with nothing written, when `dir` already holds a
// manifest (undo the earlier repair first) or a change's path is not a file
// directly inside `dir`; throws std::runtime_error, with every file back as
// it was, when a file no longer holds the text it was planned from (it
// changed during the repair) or a write fails.
void apply_file_changes(const std::string& dir, const std::vector<FileChange>& changes, const std::string& description,
                        const ChangeSet& set = kRepairChanges);

// Writes the files an interrupted repair of `dir` had not written yet and
// marks it finished; returns how many it wrote. Throws std::runtime_error,
// with nothing written, when the folder holds no pending repair, when its
// files changed since, or when the manifest keeps no new texts (one written
// by an earlier version: roll it back with undo_file_changes).
std::size_t finish_interrupted_repair(const std::string& dir, const ChangeSet& set = kRepairChanges);

// Restores the files a repair of `dir` changed (a finished or an interrupted
// one), byte for byte, and removes its manifest and backups. Returns the
// number of files restored (0 when there is no manifest; leftovers of
// killed runs are removed either way). Throws, with nothing restored, std::invalid_argument when the
// manifest or its backups do not belong to `dir` (copied in from another
// folder, edited, damaged) and std::runtime_error naming the file when a
// repaired file changed since.
std::size_t undo_file_changes(const std::string& dir, const ChangeSet& set = kRepairChanges);

namespace testing {
// Installs `hook`, called before each file the change machinery writes or
// removes with a short name of the step ("backup", "manifest", "file",
// "finish"); tests use it to stop a run at a chosen point. nullptr removes it.
void set_file_change_hook(void (*hook)(const char* step));
}  // namespace testing

}  // namespace pelk
