// The steps of `pelk` that run a model, behind one seam. The full program
// (pelk-full) links model_steps.cpp and with it libtorch; the model-free
// program (pelk-tools) links model_steps_none.cpp, whose steps refuse, so
// commands that use no model start without loading libtorch.
#pragma once

#include <vector>

#include "app.hpp"
#include "cli_common.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/matching/identity_repair.hpp"
#include "pelk_utils/matching/overlap_resolution.hpp"
#include "pelk_utils/quality/report_row.hpp"

namespace pelk::cli {

// Runs the overlap resolution of a clip's high-overlap report rows with
// `models` (from load_models), its progress lines captured.
OverlapResolution resolve_overlaps(const std::vector<ReportRow>& rows, const ClipAnnotationData& clip,
                                   Models& models, int n_consecutive);

// Decides every episode of the clip as `pelk repair` does (default
// settings) with `models`, its progress lines captured.
std::vector<SwapDecision> decide_episodes(const ClipAnnotationData& clip, Models& models);

// `pelk repair`'s settings; --undo and --apply need no model.
struct RepairOptions {
  std::string clip;
  bool dry_run = false, undo = false;
  std::string apply;  // a corrections file from the review page
  double margin = RepairSettings{}.margin;
  ModelOptions models;
};

// Decides the clip's episodes with the models and writes the exchanges
// (`pelk repair` without --undo or --apply), printing what it did.
void repair_with_models(const RepairOptions& o);

}  // namespace pelk::cli
