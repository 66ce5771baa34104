// pelk repair: finds overlap episodes after which two animals' identities
// were exchanged and exchanges them back in every later annotation file.
#include <cstdio>
#include <iostream>
#include <memory>

#include "commands.hpp"
#include "model_steps.hpp"
#include "pelk_utils/annotation/identity_swap.hpp"
#include "pelk_utils/matching/identity_repair.hpp"

namespace pelk::cli {
namespace {

struct RepairOptions {
  std::string clip;
  bool dry_run = false, undo = false;
  double margin = RepairSettings{}.margin;
  ModelOptions models;
};

std::string describe(const SwapDecision& d) {
  char costs[96];
  std::snprintf(costs, sizeof(costs), " (kept %.2f, exchanged %.2f)", d.keep_cost, d.swap_cost);
  std::string compared;
  if (d.before_frame && d.after_frame) {
    compared = ", frames " + std::to_string(*d.before_frame) + " and " + std::to_string(*d.after_frame) + " compared";
  }
  return d.episode.box_a + "-" + d.episode.box_b + " overlap in frames " + std::to_string(d.episode.first_frame) + ".." +
         std::to_string(d.episode.last_frame) + compared + ": " + d.reason +
         (d.before_frame && d.after_frame ? std::string(costs) : std::string());
}

void run(const RepairOptions& o) {
  if (o.undo) {
    const std::size_t restored = undo_file_changes(o.clip);
    std::cout << (restored ? "restored " + std::to_string(restored) + " annotation files of " + o.clip + " as they were"
                           : "nothing to undo: " + o.clip + " holds no repair")
              << "\n";
    return;
  }
  const bool repaired_before = has_finished_repair(o.clip);
  AnnotationData data;
  quietly([&] { data = get_pelk_annotation_data("", false, 0, o.clip); });
  if (!data.pelk_annotation_data) throw std::invalid_argument("no annotation files (output_pp_<n>.json) under '" + o.clip + "'");
  Models models = load_models(o.models);
  RepairSettings settings;
  settings.margin = o.margin;
  std::vector<SwapDecision> decisions;
  quietly([&] { decisions = decide_identity_swaps(*data.pelk_annotation_data, *models.predictor, settings); });
  for (const SwapDecision& d : decisions) std::cout << "  " << describe(d) << "\n";
  const std::vector<IdentitySwap> swaps = swaps_of(decisions);
  if (swaps.empty()) {
    std::cout << "nothing to do: " << decisions.size() << " overlap episodes, no exchanged identities found\n";
    return;
  }
  if (repaired_before) {
    throw std::invalid_argument("'" + o.clip + "' was repaired before and a new exchange was found; undo the repair "
                                "first (pelk repair --undo)");
  }
  const std::vector<FileChange> changes = plan_identity_swaps(*data.pelk_annotation_data, swaps);
  std::string what;
  for (const IdentitySwap& s : swaps) {
    what += (what.empty() ? "" : ", ") + std::string("object ids ") + std::to_string(s.object_a) + " and " +
            std::to_string(s.object_b) + " after frame " + std::to_string(s.after_frame);
  }
  if (o.dry_run) {
    std::cout << "would exchange " << what << " in " << changes.size() << " files (nothing written)\n";
    return;
  }
  apply_file_changes(o.clip, changes, "exchanged " + what);
  std::cout << "exchanged " << what << " in " << changes.size() << " files; `pelk repair --undo " << o.clip
            << "` restores them\n";
}

}  // namespace

void add_repair_command(CLI::App& app) {
  auto o = std::make_shared<RepairOptions>();
  CLI::App* c = app.add_subcommand(
      "repair", "Find overlap episodes after which two animals' identities were exchanged (region features and "
                "where each animal was heading, before and after the episode) and exchange them back in every later "
                "annotation file; files are replaced atomically and a manifest lets --undo restore them byte for byte");
  c->add_option("clip", o->clip, "Annotation folder of the tracked clip")->required()->check(CLI::ExistingDirectory);
  c->add_flag("--dry-run", o->dry_run, "Print what would change, change nothing");
  c->add_flag("--undo", o->undo, "Restore the files the last repair changed");
  c->add_option("--margin", o->margin, "How much better the chosen assignment must score")->capture_default_str();
  add_model_options(*c, o->models, false);
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
