// pelk chain: puts a day of one pen's clips under the first clip's
// identities, deciding every boundary, and says per boundary what it did.
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

#include "commands.hpp"
#include "model_steps.hpp"
#include "pelk_utils/matching/day_chain.hpp"
#include "pelk_utils/video/catalogue.hpp"

namespace pelk::cli {
namespace {
namespace fs = std::filesystem;

struct ChainOptions {
  std::vector<std::string> clips;
  bool dry_run = false, undo = false;
  int animals = ChainSettings{}.animals;
  double fps = 0;
  std::string videos;
  ModelOptions models;
};

std::string name_of(const std::string& clip) {
  fs::path p = fs::path(clip).lexically_normal();
  if (p.filename().empty()) p = p.parent_path();
  return p.filename().string();
}

void undo(const ChainOptions& o) {
  const ChainUndo u = undo_chain(o.clips, o.dry_run);
  if (u.clips.empty()) {
    std::cout << "nothing to undo: no clip holds a chain" << (o.dry_run ? " (nothing written)" : "") << "\n";
    return;
  }
  for (const auto& [clip, files] : u.clips) {
    std::cout << (o.dry_run ? "would restore " : "restored ") << counted(files, "annotation file") << " of " << clip << "\n";
  }
  std::cout << (o.dry_run ? "would restore " : "restored ") << counted(u.files, "file") << " in "
            << counted(u.clips.size(), "clip") << (o.dry_run ? " (nothing written)" : " as they were") << "\n";
}

void chain(const ChainOptions& o) {
  ChainSettings settings;
  settings.animals = o.animals;
  if (o.fps > 0) settings.fps = o.fps;
  if (!o.videos.empty()) settings.recording_rates = recording_rates(o.videos);
  check_chain_settings(settings);  // before any model is loaded
  Models models = load_models(o.models);
  DayChain day;
  quietly([&] { day = chain_clips(o.clips, *models.predictor, settings, o.dry_run); });
  std::map<std::string, int> verdicts;
  for (const ChainBoundary& b : day.boundaries) {
    std::cout << b.line(name_of(o.clips[b.clip])) << "\n";
    ++verdicts[b.verdict()];
  }
  std::string tally;
  for (const auto& [verdict, n] : verdicts) tally += (tally.empty() ? "" : ", ") + std::to_string(n) + " " + verdict;
  std::cout << counted(day.boundaries.size(), "boundary", "boundaries") << ": " << tally << "; "
            << counted(day.day_ids.size(), "day identity", "day identities") << "\n";
  if (day.files_changed == 0) {
    std::cout << "nothing to do: every clip already holds the day's identities\n";
  } else if (o.dry_run) {
    std::cout << "would relabel " << counted(day.files_changed, "file") << " in " << counted(day.clips_changed, "clip")
              << " (nothing written)\n";
  } else {
    std::cout << "relabelled " << counted(day.files_changed, "file") << " in " << counted(day.clips_changed, "clip")
              << "; `pelk chain --undo` with the same clips restores them\n";
  }
}

}  // namespace

void add_chain_command(CLI::App& app) {
  auto o = std::make_shared<ChainOptions>();
  CLI::App* c = app.add_subcommand(
      "chain", "Put a day of one pen's clips (tracked one by one, given in time order) under the identities of the first "
               "clip: continuous boundaries are paired by overlap and, where animals overlap there, decided as the repair "
               "decides; an animal out of view is found again by elimination in the closed pen; across a time gap animals "
               "are paired by appearance; what cannot be carried safely gets a new object id. One line per boundary; "
               "files are replaced atomically and a manifest per clip lets --undo restore them byte for byte");
  c->add_option("clips", o->clips, "Annotation folders of the clips, in the order they were recorded")
      ->required()
      ->check(CLI::ExistingDirectory);
  c->add_flag("--dry-run", o->dry_run, "Print what would change, change nothing");
  c->add_flag("--undo", o->undo, "Restore every clip the chain changed (with --dry-run: say what it would restore)");
  c->add_option("--animals", o->animals, "Animals in the pen (a closed pen: elimination needs the count)")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  c->add_option("--fps", o->fps, "Frame rate of every recording, to tell continuous clips from gaps")->check(positive_number());
  c->add_option("--videos", o->videos, "Folder of the recordings, whose rates tell continuous clips from gaps")
      ->check(CLI::ExistingDirectory);
  add_model_options(*c, o->models, false);
  c->callback([o] { o->undo ? undo(*o) : chain(*o); });
}

}  // namespace pelk::cli
