// pelk tracks: every animal's path over a recording's clips as one CSV table.
#include <iostream>

#include "clip_options.hpp"
#include "commands.hpp"
#include "pelk_utils/tracks/tracks_table.hpp"
#include "shard.hpp"

namespace pelk::cli {
namespace {

void run_tracks(const ClipsOptionsCli& o) {
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

}  // namespace

void add_tracks_command(CLI::App& app) {
  auto t = std::make_shared<ClipsOptionsCli>();
  CLI::App* c = app.add_subcommand(
      "tracks", "Write every animal's path as a CSV table: one row per animal per frame (clip, frame_key, "
                "frame_image, time, identity, present, box, centroid, area, orientation, long and short axis; "
                "in_pen with --pen), streamed clip by clip");
  add_clip_options(*c, *t);
  c->add_option("--out", t->out, "CSV file to write")->required();
  c->add_option("--pen", t->pen, "Pen-polygon file: adds each mask's share inside the pen")->check(CLI::ExistingFile);
  c->add_option("--shard", t->shard, "Process shard K of N (K/N): a block of the clips; shard 0 writes the header, "
                                     "so the shards' files in order concatenate to the whole table")->check(shard_validator());
  c->callback([t] { run_tracks(*t); });
}

}  // namespace pelk::cli
