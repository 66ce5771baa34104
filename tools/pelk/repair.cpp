// pelk repair: finds overlap episodes after which two animals' identities
// were exchanged and exchanges them back in every later annotation file.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>

#include "commands.hpp"
#include "model_steps.hpp"
#include "pelk_utils/annotation/corrections.hpp"
#include "pelk_utils/annotation/identity_swap.hpp"
#include "pelk_utils/matching/folder_repair.hpp"

namespace pelk::cli {
namespace {

struct RepairOptions {
  std::string clip;
  bool dry_run = false, undo = false;
  std::string apply;  // a corrections file from the review page
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

// Applies a person's corrections (exported from the review page); no model
// is needed.
void apply(const RepairOptions& o) {
  CorrectionsApplied r;
  quietly([&] { r = apply_corrections(o.clip, o.apply, o.dry_run); });
  if (r.swaps.empty()) {
    std::cout << "nothing to do: the corrections exchange no identities\n";
  } else if (o.dry_run) {
    std::cout << "would exchange " << r.description << " in " << r.files_changed << " files (nothing written)\n";
  } else {
    std::cout << "exchanged " << r.description << " in " << r.files_changed << " files; `pelk repair --undo " << o.clip
              << "` restores them\n";
  }
}

void run(const RepairOptions& o) {
  if (o.undo) return undo(o.clip);
  if (!o.apply.empty()) return apply(o);
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
    std::cout << "nothing to do: " << r.decisions.size() << " episodes (overlaps and contacts), no exchanged identities found"
              << (unclear ? ", " + std::to_string(unclear) + " unclear and left alone" : std::string()) << "\n";
  } else if (o.dry_run) {
    std::cout << "would exchange " << r.description << " in " << r.files_changed << " files (nothing written)\n";
  } else {
    std::cout << "exchanged " << r.description << " in " << r.files_changed << " files; `pelk repair --undo " << o.clip
              << "` restores them\n";
  }
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
  c->add_option("--apply", o->apply, "Apply a corrections file exported from the review page's proofreading instead "
                                     "of deciding (same manifest and --undo)")->check(CLI::ExistingFile);
  c->add_option("--margin", o->margin, "How much the cues together must favour an exchange before one is made (lower: more repairs, more risk)")->capture_default_str();
  add_model_options(*c, o->models, false);
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
