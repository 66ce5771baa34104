// pelk repair: finds overlap episodes after which two animals' identities
// were exchanged and exchanges them back in every later annotation file.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>

#include "commands.hpp"
#include "model_steps.hpp"
#include "pelk_utils/annotation/corrections.hpp"
#include "pelk_utils/annotation/file_changes.hpp"

namespace pelk::cli {
namespace {

// Says what --undo would restore; reads the folder, writes nothing.
void undo_dry_run(const std::string& clip) {
  const RepairStatus status = repair_status(clip);
  if (status.state == RepairState::kNone) {
    std::cout << "nothing to undo: " << clip << " holds no repair (nothing written)\n";
    return;
  }
  const std::string what = status.state == RepairState::kPending ? "would roll back the interrupted repair ("
                                                                  : "would undo the repair (";
  std::cout << what << status.description << "): " << counted(status.files, "annotation file") << " of " << clip
            << " restored as they were (nothing written)\n";
}

void undo(const std::string& clip) {
  const RepairStatus status = repair_status(clip);
  const std::size_t restored = undo_file_changes(clip);
  const std::string files = counted(restored, "annotation file") + " of " + clip + " as they were";
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
    std::cout << "would exchange " << r.description << " in " << counted(r.files_changed, "file") << " (nothing written)\n";
  } else {
    std::cout << "exchanged " << r.description << " in " << counted(r.files_changed, "file") << "; `pelk repair --undo " << o.clip
              << "` restores them\n";
  }
}

void run(const RepairOptions& o) {
  if (o.undo) return o.dry_run ? undo_dry_run(o.clip) : undo(o.clip);
  if (!o.apply.empty()) return apply(o);
  repair_with_models(o);
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
  CLI::Option* undo = c->add_flag("--undo", o->undo, "Restore the files the last repair changed (with --dry-run: say what it would restore)");
  c->add_option("--apply", o->apply, "Apply a corrections file exported from the review page's proofreading instead "
                                     "of deciding (same manifest and --undo)")->check(CLI::ExistingFile)->excludes(undo);
  c->add_option("--margin", o->margin, "How much the cues together must favour an exchange before one is made (lower: more repairs, more risk)")->capture_default_str();
  add_model_options(*c, o->models, false);
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
