// pelk repair: finds overlap episodes after which two animals' identities
// were exchanged and exchanges them back in every later annotation file.
#include <algorithm>
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
  std::string compared;
  if (d.before_frame && d.after_frame) {
    compared = ", frames " + std::to_string(*d.before_frame) + " and " + std::to_string(*d.after_frame) + " compared";
  }
  return d.episode.box_a + "-" + d.episode.box_b + " " + episode_kind_name(d.episode.kind) + " in frames " +
         std::to_string(d.episode.first_frame) + ".." + std::to_string(d.episode.last_frame) + compared + ": " + d.reason;
}

void undo(const std::string& clip) {
  const RepairStatus status = repair_status(clip);
  const std::size_t restored = undo_file_changes(clip);
  const std::string files = std::to_string(restored) + " annotation files of " + clip + " as they were";
  if (status.state == RepairState::kNone) {
    std::cout << "nothing to undo: " << clip << " holds no repair\n";
  } else if (status.state == RepairState::kPending) {
    std::cout << "rolled back the interrupted repair (" << status.description << "): restored " << files << "\n";
  } else {
    std::cout << "restored " << files << "\n";
  }
}

// Brings a folder left by a killed run back to order before anything is
// decided; returns whether it holds a finished repair. A dry run only tells.
bool settle_earlier_runs(const RepairOptions& o) {
  const RepairStatus status = repair_status(o.clip);
  if (o.dry_run) {
    if (!status.leftovers.empty()) {
      std::cout << status.leftovers.size() << " leftover files of an interrupted run would be removed\n";
    }
    if (status.state == RepairState::kPending) {
      throw std::runtime_error("an interrupted repair is pending; run `pelk repair --undo` or `pelk repair` to finish it");
    }
    return status.state == RepairState::kApplied;
  }
  if (status.state == RepairState::kPending) {
    if (!status.can_finish) {
      throw std::runtime_error("the interrupted repair of " + o.clip + " was made by an earlier pelk and cannot be "
                               "finished; roll it back with `pelk repair --undo`");
    }
    const std::size_t written = finish_interrupted_repair(o.clip);
    std::cout << "finished the interrupted repair (" << status.description << "): wrote the " << written
              << " files it had not reached; `pelk repair --undo " << o.clip << "` restores all " << status.files << "\n";
    return true;
  }
  const std::size_t removed = clean_repair_leftovers(o.clip);
  if (removed > 0) std::cout << "removed " << removed << " leftover files of an interrupted run\n";
  return status.state == RepairState::kApplied;
}

void run(const RepairOptions& o) {
  if (o.undo) return undo(o.clip);
  RepairSettings settings;
  settings.margin = o.margin;
  check_repair_settings(settings);  // before anything is read or written
  const bool repaired_before = settle_earlier_runs(o);
  AnnotationData data;
  quietly([&] { data = get_pelk_annotation_data("", false, 0, o.clip); });
  if (!data.pelk_annotation_data) throw std::invalid_argument("no annotation files (output_pp_<n>.json) under '" + o.clip + "'");
  Models models = load_models(o.models);
  std::vector<SwapDecision> decisions;
  quietly([&] { decisions = decide_identity_swaps(*data.pelk_annotation_data, *models.predictor, settings); });
  for (const SwapDecision& d : decisions) std::cout << "  " << describe(d) << "\n";
  const std::vector<IdentitySwap> swaps = swaps_of(decisions);
  if (swaps.empty()) {
    const auto unclear = std::count_if(decisions.begin(), decisions.end(),
                                       [](const SwapDecision& d) { return d.verdict == SwapVerdict::kUnclear; });
    std::cout << "nothing to do: " << decisions.size() << " episodes (overlaps and contacts), no exchanged identities found"
              << (unclear ? ", " + std::to_string(unclear) + " unclear and left alone" : std::string()) << "\n";
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
      "repair", "Find episodes (overlaps, short overlaps, contacts) after which two animals' identities were exchanged (appearance, "
                "where each animal was and where it was heading, on several frames each side; disagreeing cues and near ties are unclear and left alone) and exchange them back in every later "
                "annotation file; files are replaced atomically and a manifest lets --undo restore them byte for byte");
  c->add_option("clip", o->clip, "Annotation folder of the tracked clip")->required()->check(CLI::ExistingDirectory);
  c->add_flag("--dry-run", o->dry_run, "Print what would change, change nothing");
  c->add_flag("--undo", o->undo, "Restore the files the last repair changed");
  c->add_option("--margin", o->margin, "How much the cues together must favour an exchange before one is made (lower: more repairs, more risk)")->capture_default_str();
  add_model_options(*c, o->models, false);
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
