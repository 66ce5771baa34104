// pelk extract: cuts catalogued recordings into cropped frame folders.
#include <unistd.h>

#include <cmath>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>

#include "commands.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/video/catalogue.hpp"
#include "pelk_utils/video/video_processor.hpp"

namespace pelk::cli {
namespace {

struct ExtractOptions {
  VideoMetadata metadata;
  std::string camera;
  std::string out = kDefaultFramesDir;
  double time_step = 0.1;
  int frame_skip = 1;
  int resize_height = 0;
  bool left = false;
  bool no_crop = false;
  bool verbose = false;
  std::string shard;
};

// One line for a batch that left work undone, so that a script or a job
// array sees the failure in the exit code and not only in the log.
std::string incomplete_message(const ExtractionSummary& s, std::size_t recordings) {
  std::string what;
  if (s.recordings_unopened > 0) {
    what = std::to_string(s.recordings_unopened) + " of " + counted(recordings, "recording") + " could not be opened";
  }
  if (s.ranges_unfinished > 0) {
    if (!what.empty()) what += " and ";
    what += counted(s.ranges_unfinished, "range") + (s.ranges_unfinished == 1 ? " was" : " were") + " left unfinished";
  }
  return what + " (the lines above name them; " + counted(s.ranges_written, "range") +
         " written); a rerun tries them again";
}

// The library's line for a saved frame counts from the range's detection
// frame ("Processing frame 0" is the recording's frame 1); the log names the
// recording's own frame number, which a person can look up.
std::string with_recording_frame(std::string_view text) {
  constexpr std::string_view kPrefix = "Processing frame ";
  if (text.substr(0, kPrefix.size()) != kPrefix) return std::string(text);
  const std::size_t end = text.find(' ', kPrefix.size());
  if (end == std::string_view::npos) return std::string(text);
  const std::string counter(text.substr(kPrefix.size(), end - kPrefix.size()));
  char* parsed = nullptr;
  const double value = std::strtod(counter.c_str(), &parsed);
  if (parsed == counter.c_str() || *parsed != '\0' || !std::isfinite(value)) return std::string(text);
  const auto frame = static_cast<long long>(std::floor(value + 1e-9)) + 1;
  return std::string(kPrefix) + std::to_string(frame) + std::string(text.substr(end));
}

// Cameras of `mine` with the catalogue rows a single run would decide their
// crops from: every row of those cameras, in catalogue order.
CatalogueTable rows_of_cameras(const CatalogueTable& table, const CatalogueTable& mine) {
  std::set<std::optional<std::string>> cameras;
  for (const CatalogueRow& row : mine) cameras.insert(row.camera_number);
  CatalogueTable out;
  for (const CatalogueRow& row : table) {
    if (cameras.contains(row.camera_number)) out.push_back(row);
  }
  return out;
}

void run(ExtractOptions& o) {
  const Shard shard = resolve_shard(o.shard);
  const CatalogueTable table = catalogue_for(o.metadata, o.camera);
  CatalogueTable mine;
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (shard.owns(i)) mine.push_back(table[i]);
  }
  VideoProcessor p;
  p.output_dir_base = o.out;
  p.time_step = o.time_step;
  p.frame_skip = o.frame_skip;
  p.crop = !o.no_crop;
  p.left_crop = o.left;
  if (o.resize_height > 0) p.resize_dim = std::pair<int, int>{0, o.resize_height};
  std::cerr << "extracting " << mine.size() << " of " << table.size() << " recordings (shard " << shard.index << "/"
            << shard.count << ") into " << o.out << "\n";
  // A terminal shows the progress bar and a line per range; a line per
  // frame (15,000 for ten minutes) only with --verbose, or in a log.
  const bool per_frame = o.verbose || !::isatty(STDOUT_FILENO);
  const OutputSink previous = set_output_sink([per_frame](std::string_view text) {
    if (text.rfind("Processing frame ", 0) != 0) {
      std::cout << text << std::flush;
    } else if (per_frame) {
      std::cout << with_recording_frame(text) << std::flush;
    }
  });
  struct Restore {
    const OutputSink& sink;
    ~Restore() { set_output_sink(sink); }
  } restore{previous};
  // Crops are decided from each camera's first recording in the whole
  // catalogue, so that a shard cuts what one run over everything would.
  if (p.crop) p.decide_camera_crops(rows_of_cameras(table, mine));
  Progress progress("recordings", mine.size());
  ExtractionSummary total;
  for (const CatalogueRow& row : mine) {
    const ExtractionSummary one = p.process_videos_to_frames({row});
    total.ranges_written += one.ranges_written;
    total.ranges_unfinished += one.ranges_unfinished;
    total.recordings_unopened += one.recordings_unopened;
    progress.step();
  }
  if (!total.complete()) throw std::runtime_error(incomplete_message(total, mine.size()));
}

}  // namespace

void add_extract_command(CLI::App& app) {
  auto o = std::make_shared<ExtractOptions>();
  CLI::App* c = app.add_subcommand(
      "extract", "Cut catalogued recordings into minute ranges of cropped JPEG frames: "
                 "OUT/<date>/<video>/<start>min_to_<end>min/right_cropped_frames/0000.jpg ... "
                 "Finished ranges are skipped on reruns; a range cut short is redone.");
  add_catalogue_filters(*c, o->metadata, o->camera);
  c->add_flag("--verbose", o->verbose, "Print a line per saved frame also on a terminal (a log always gets them)");
  c->add_option("--out", o->out, "Root of the frame tree")->capture_default_str();
  c->add_option("--time-step", o->time_step, "Minutes per range")->capture_default_str()->check(CLI::PositiveNumber);
  c->add_option("--frame-skip", o->frame_skip, "Save every n-th frame")->capture_default_str();
  c->add_option("--resize-height", o->resize_height, "Resize saved frames to this height (0: keep)");
  c->add_flag("--left", o->left, "Keep the part left of the orange marker instead of the right part");
  c->add_flag("--no-crop", o->no_crop, "Save whole frames");
  c->add_option("--shard", o->shard, "Process shard K of N (K/N, K from 0); default from SLURM_ARRAY_TASK_ID/COUNT")->check(shard_validator());
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
