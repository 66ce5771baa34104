#include "pelk_utils/matching/folder_repair.hpp"

#include <stdexcept>

#include "pelk_utils/annotation/clip_loader.hpp"

namespace pelk {
namespace {

// Brings a folder left by a killed run back to order; returns whether it
// holds a finished repair. A dry run only looks.
bool settle_earlier_runs(const std::string& dir, bool dry_run, FolderRepair& out) {
  const RepairStatus status = repair_status(dir);
  if (dry_run) {
    out.leftovers = status.leftovers.size();
    if (status.state == RepairState::kPending) {
      throw std::runtime_error("an interrupted repair is pending; run `pelk repair --undo` or `pelk repair` to finish it");
    }
    return status.state == RepairState::kApplied;
  }
  if (status.state == RepairState::kPending) {
    if (!status.can_finish) {
      throw std::runtime_error("the interrupted repair of " + dir + " was made by an earlier pelk and cannot be "
                               "finished; roll it back with `pelk repair --undo`");
    }
    out.leftovers = status.leftovers.size();  // finishing removes them
    out.finished_files = finish_interrupted_repair(dir);
    out.finished_description = status.description;
    return true;
  }
  out.leftovers = clean_repair_leftovers(dir);
  return status.state == RepairState::kApplied;
}

ClipAnnotationData load(const std::string& dir) {
  AnnotationData data = whole_clip_data(dir);
  if (!data.pelk_annotation_data) throw std::invalid_argument("no annotation files (output_pp_<n>.json) under '" + dir + "'");
  return std::move(*data.pelk_annotation_data);
}

}  // namespace

const char* verdict_name(SwapVerdict verdict) {
  switch (verdict) {
    case SwapVerdict::kKeep: return "kept";
    case SwapVerdict::kSwap: return "exchanged";
    case SwapVerdict::kUnclear: return "unclear";
  }
  return "?";
}

FolderRepair repair_clip_folder(const std::string& dir, ImagePredictor& image_predictor, const RepairSettings& settings,
                                bool dry_run) {
  check_repair_settings(settings);  // before anything is read or written
  FolderRepair out;
  const bool repaired_before = settle_earlier_runs(dir, dry_run, out);
  const ClipAnnotationData clip = load(dir);
  out.decisions = decide_identity_swaps(clip, image_predictor, settings);
  out.swaps = swaps_of(out.decisions);
  if (out.swaps.empty()) return out;
  if (repaired_before) {
    throw std::invalid_argument("'" + dir + "' was repaired before and a new exchange was found; undo the repair "
                                "first (pelk repair --undo)");
  }
  const std::vector<FileChange> changes = plan_identity_swaps(clip, out.swaps);
  for (const IdentitySwap& s : out.swaps) {
    out.description += std::string(out.description.empty() ? "" : ", ") + "Box" + std::to_string(s.object_a - 1) + " and Box" +
                       std::to_string(s.object_b - 1) + " (object ids " + std::to_string(s.object_a) + " and " +
                       std::to_string(s.object_b) + ")" + " after frame " + std::to_string(s.after_frame);
  }
  out.files_changed = changes.size();
  if (!dry_run) apply_file_changes(dir, changes, "exchanged " + out.description);
  return out;
}

}  // namespace pelk
