// pelk tracks and pelk export: a recording's clips as per-animal paths and
// in other tools' formats.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "commands.hpp"
#include "pelk_utils/interchange/track_export.hpp"
#include "pelk_utils/tracks/tracks_table.hpp"
#include "pelk_utils/video/catalogue.hpp"
#include "shard.hpp"

namespace pelk::cli {
namespace {
namespace fs = std::filesystem;

struct TracksOptionsCli {
  std::vector<std::string> clips;
  std::string out, pen, videos, shard, format;
  double fps = 0;
};

// Where frame times come from: --fps, or the recordings under --videos.
FrameTimeSource time_source(const TracksOptionsCli& o) {
  FrameTimeSource times;
  if (o.fps > 0) times.fps = o.fps;
  if (!o.videos.empty()) times.recording_rates = recording_rates(o.videos);
  return times;
}

// The clips this shard owns: a contiguous block, so the shards' outputs in
// shard order concatenate to the single run's.
std::vector<std::string> my_clips(const TracksOptionsCli& o, bool* first_shard) {
  const Shard shard = resolve_shard(o.shard);
  *first_shard = shard.index == 0;
  const std::size_t n = o.clips.size();
  const std::size_t begin = n * shard.index / shard.count, end = n * (shard.index + 1) / shard.count;
  return {o.clips.begin() + static_cast<std::ptrdiff_t>(begin), o.clips.begin() + static_cast<std::ptrdiff_t>(end)};
}

void print_notes(const std::vector<std::string>& notes) {
  for (const std::string& n : notes) std::cout << n << "\n";
}

void run_tracks(const TracksOptionsCli& o) {
  bool first = true;
  const std::vector<std::string> clips = my_clips(o, &first);
  TracksOptions options;
  options.times = time_source(o);
  if (!o.pen.empty()) options.pen_json_path = o.pen;
  if (clips.empty()) {
    refuse_output_inside_clips(o.out, o.clips);
    std::cout << "no clip for this shard: nothing written\n";
    return;
  }
  print_notes(write_tracks_csv(clips, options, o.out, first));
  std::cout << "tracks of " << counted(clips.size(), "clip") << ": " << o.out << "\n";
}

void run_export(const TracksOptionsCli& o) {
  const auto format = track_format_named(o.format);
  if (!format) throw CLI::ValidationError("--format", "'" + o.format + "' is not one of mot, cvat, coco");
  const ExportSummary s = export_tracks(o.clips, *format, o.out, time_source(o));
  print_notes(s.notes);
  std::cout << counted(s.identities, "identity", "identities") << " over " << counted(s.frames, "frame") << " ("
            << counted(s.objects, "mask") << ") written to " << o.out
            << (s.mapping_path.empty() ? "" : "; ids and frames in " + s.mapping_path) << "\n";
}

void add_common(CLI::App& c, TracksOptionsCli& o) {
  c.add_option("clips", o.clips, "Annotation folders of a recording's clips, in the order they were recorded")
      ->required()
      ->check(CLI::ExistingDirectory);
  c.add_option("--fps", o.fps, "The recordings' frame rate, for frame times (else read from --videos)")
      ->check(CLI::Validator(
          [](const std::string& text) {
            char* end = nullptr;
            const double rate = std::strtod(text.c_str(), &end);
            return *end == '\0' && std::isfinite(rate) && rate > 0 ? std::string()
                                                                    : "a frame rate is a finite number above 0";
          },
          "RATE"));
  c.add_option("--videos", o.videos, "Folder holding the recordings (Camera<N>_<n>_<date><time>.mp4): their rates "
                                     "give frame times")
      ->check(CLI::ExistingDirectory);
}

}  // namespace

void add_tracks_commands(CLI::App& app) {
  auto t = std::make_shared<TracksOptionsCli>();
  CLI::App* c = app.add_subcommand(
      "tracks", "Write every animal's path as a CSV table: one row per animal per frame (clip, frame_key, "
                "frame_image, time, identity, present, box, centroid, area, orientation, long and short axis; "
                "in_pen with --pen), streamed clip by clip");
  add_common(*c, *t);
  c->add_option("--out", t->out, "CSV file to write")->required();
  c->add_option("--pen", t->pen, "Pen-polygon file: adds each mask's share inside the pen")->check(CLI::ExistingFile);
  c->add_option("--shard", t->shard, "Process shard K of N (K/N): a block of the clips; shard 0 writes the header, "
                                     "so the shards' files in order concatenate to the whole table");
  c->callback([t] { run_tracks(*t); });

  auto e = std::make_shared<TracksOptionsCli>();
  CLI::App* x = app.add_subcommand(
      "export", "Write a recording's tracks for other tools: MOTChallenge text (mot, with <out>.json mapping keys "
                "and frames), CVAT for video 1.1 XML (cvat) or COCO instance segmentation JSON (coco)");
  add_common(*x, *e);
  x->add_option("--format", e->format, "mot, cvat or coco")->required();
  x->add_option("--out", e->out, "File to write")->required();
  x->callback([e] { run_export(*e); });
}

}  // namespace pelk::cli
