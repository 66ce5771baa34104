#include "model_steps.hpp"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "pelk_utils/matching/folder_repair.hpp"

#include "pelk_utils/models/classical_detector.hpp"
#include "pelk_utils/models/classical_segmenter.hpp"
#include "pelk_utils/models/torchscript_models.hpp"

namespace pelk::cli {

Models load_models(const ModelOptions& options) {
  Models m;
  if (options.detector.empty()) {
    auto builtin = std::make_unique<ClassicalDetector>();
    m.grounding = builtin.get();
    m.processor = builtin.get();
    m.processor_owner = std::move(builtin);
  } else {
    auto loaded = std::make_unique<TorchScriptDetector>(options.detector, options.device);
    m.grounding = loaded.get();
    m.processor = loaded.get();
    m.processor_owner = std::move(loaded);
  }
  if (options.segmenter_encoder.empty() != options.segmenter_decoder.empty()) {
    throw std::invalid_argument("--segmenter-encoder and --segmenter-decoder go together");
  }
  if (options.segmenter_encoder.empty()) {
    m.predictor = std::make_unique<ClassicalSegmenter>();
  } else {
    m.predictor = std::make_unique<TorchScriptSegmenter>(options.segmenter_encoder, options.segmenter_decoder,
                                                         options.device);
  }
  return m;
}

OverlapResolution resolve_overlaps(const std::vector<ReportRow>& rows, const ClipAnnotationData& clip,
                                   Models& models, int n_consecutive) {
  OverlapResolution r;
  quietly([&] { r = process_overlap_frames(rows, clip, *models.predictor, n_consecutive); });
  return r;
}

std::vector<SwapDecision> decide_episodes(const ClipAnnotationData& clip, Models& models) {
  std::vector<SwapDecision> decisions;
  quietly([&] { decisions = decide_identity_swaps(clip, *models.predictor); });
  return decisions;
}

namespace {

std::string describe(const SwapDecision& d) {
  std::string compared;
  if (d.before_frame && d.after_frame) {
    compared = ", frames " + std::to_string(*d.before_frame) + " and " + std::to_string(*d.after_frame) + " compared";
  }
  return d.episode.box_a + "-" + d.episode.box_b + " " + episode_kind_name(d.episode.kind) + " in frames " +
         std::to_string(d.episode.first_frame) + ".." + std::to_string(d.episode.last_frame) + compared + ": " + d.reason;
}

}  // namespace

void repair_with_models(const RepairOptions& o) {
  RepairSettings settings;
  settings.margin = o.margin;
  check_repair_settings(settings);  // before any model is loaded
  Models models = load_models(o.models);
  FolderRepair r;
  quietly([&] { r = repair_clip_folder(o.clip, *models.predictor, settings, o.dry_run); });
  if (r.leftovers > 0) {
    std::cout << (o.dry_run ? "" : "removed ") << r.leftovers << " leftover files of an interrupted run"
              << (o.dry_run ? " would be removed" : "") << "\n";
  }
  if (!r.finished_description.empty()) {
    std::cout << "finished the interrupted repair (" << r.finished_description << "): wrote the " << r.finished_files
              << " files it had not reached; `pelk repair --undo " << o.clip << "` restores them all\n";
  }
  for (const SwapDecision& d : r.decisions) std::cout << "  " << describe(d) << "\n";
  if (r.swaps.empty()) {
    const auto unclear = std::count_if(r.decisions.begin(), r.decisions.end(),
                                       [](const SwapDecision& d) { return d.verdict == SwapVerdict::kUnclear; });
    std::cout << "nothing to do: " << counted(r.decisions.size(), "episode") << " (overlaps and contacts), no exchanged identities found"
              << (unclear ? ", " + std::to_string(unclear) + " unclear and left alone" : std::string()) << "\n";
  } else if (o.dry_run) {
    std::cout << "would exchange " << r.description << " in " << counted(r.files_changed, "file") << " (nothing written)\n";
  } else {
    std::cout << "exchanged " << r.description << " in " << counted(r.files_changed, "file") << "; `pelk repair --undo " << o.clip
              << "` restores them\n";
  }
}

}  // namespace pelk::cli
