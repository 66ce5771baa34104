// pelk behaviour: behaviour measures over a recording's clips, per animal
// per time bin, as tables and plots; sharded with parts and a merge.
#include <cmath>
#include <filesystem>
#include <iostream>

#include "clip_options.hpp"
#include "commands.hpp"
#include "pelk_utils/behaviour/behaviour.hpp"
#include "pelk_utils/behaviour/behaviour_part.hpp"
#include "pelk_utils/behaviour/behaviour_plots.hpp"
#include "shard.hpp"

namespace pelk::cli {
namespace {
namespace fs = std::filesystem;

void write_behaviour_outputs(const BehaviourResult& r, const std::string& out) {
  write_behaviour_csvs(r, out);
  const std::vector<std::string> plots = write_behaviour_plots(r, out);
  print_notes(r.notes);
  std::cout << "behaviour of " << counted(r.summary.size(), "animal") << " over " << counted(static_cast<std::size_t>(r.frames), "frame")
            << " (times in " << r.time_unit << "): behaviour.csv, contacts.csv, summary.csv and "
            << counted(plots.size(), "plot") << " in " << out << "\n";
}

// --merge: the shards' parts in --out become the tables and plots; the
// settings come from the parts, so none may be given here.
void run_behaviour_merge(const ClipsOptionsCli& o, const CLI::App& app) {
  if (!o.clips.empty()) throw CLI::ValidationError("--merge", "takes no clips: it reads the shards' parts in --out");
  for (const CLI::Option* option : app.get_options()) {
    const std::string name = option->get_name();
    if (option->count() > 0 && name != "--out" && name != "--merge" && name != "--parts") {
      throw CLI::ValidationError("--merge", "takes its settings from the shards' parts: drop " + name);
    }
  }
  const MergedBehaviour merged = merge_behaviour_parts(o.parts.empty() ? o.out : o.parts);
  std::cout << "merged " << counted(merged.parts.size(), "shard part") << "\n";
  write_behaviour_outputs(merged.result, o.out);
}

void run_behaviour(ClipsOptionsCli& o, const CLI::App& app) {
  if (o.merge) return run_behaviour_merge(o, app);
  if (o.clips.empty()) throw CLI::ValidationError("clips", "give the annotation folders to measure (or --merge)");
  BehaviourOptions options = o.behaviour;
  options.times = time_source(o);
  double bin = 0;
  try {
    bin = parse_bin_length(o.bin);
  } catch (const std::invalid_argument& e) {
    throw CLI::ValidationError("--bin", e.what());
  }
  if (bin < 0) {
    options.bin_frames = static_cast<std::int64_t>(-bin);
    if (options.times.fps || !options.times.recording_rates.empty()) {
      throw CLI::ValidationError("--bin", "a bin in frames (" + o.bin + ") needs no --fps or --videos; give a time such as 10m");
    }
  } else {
    options.bin_seconds = bin;
    if (!options.times.fps && options.times.recording_rates.empty()) {
      // No frame has a time: a bin in time is counted in frames at the rate
      // the activity threshold assumes, and said so (never one silent bin).
      options.bin_frames = std::max<std::int64_t>(1, std::llround(bin * kAssumedFrameRate));
      if (app.get_option("--bin")->count() > 0) {
        std::cerr << "pelk: --bin " << o.bin << " without --fps or --videos: bins of " << options.bin_frames
                  << " frames, at an assumed " << static_cast<int>(kAssumedFrameRate) << " frames per second\n";
      }
    }
  }
  if (o.px_per_metre != 0) options.px_per_metre = o.px_per_metre;
  if (!o.pen.empty() && o.pen_size.empty()) {
    throw CLI::ValidationError("--pen", "gives the scale only with --pen-size WxL (the pen's size in metres)");
  }
  if (!o.pen_size.empty()) {
    if (o.pen.empty()) throw CLI::ValidationError("--pen-size", "needs --pen (the pen polygon it measures)");
    if (o.px_per_metre != 0) throw CLI::ValidationError("--pen-size", "give --pen-size or --px-per-metre, not both");
    try {
      options.px_per_metre = px_per_metre_of_pen(o.pen, parse_pen_size(o.pen_size));
    } catch (const std::invalid_argument& e) {
      throw CLI::ValidationError("--pen-size", e.what());
    }
  }
  if (!o.zones.empty()) options.zones = read_zones(o.zones);
  refuse_output_inside_clips(o.out, o.clips);
  bool first = true;
  const Shard shard = resolve_shard(o.shard);
  if (shard.count > 1 || o.part) {
    const std::vector<std::string> clips = my_clips(o, &first);
    const std::string part = (fs::path(o.out) / behaviour_part_name(shard.index, shard.count)).string();
    const PartSummary s = write_behaviour_part(clips, options, shard.index, shard.count, part);
    print_notes(s.notes);
    std::cout << "shard " << shard.index << " of " << shard.count << ": " << counted(clips.size(), "clip") << ", "
              << counted(static_cast<std::size_t>(s.frames), "frame") << " measured into " << part
              << "; when every shard is done: pelk behaviour --merge --parts " << o.out << " --out DIR\n";
    return;
  }
  write_behaviour_outputs(behaviour(o.clips, options), o.out);
}

}  // namespace

void add_behaviour_command(CLI::App& app) {
  auto b = std::make_shared<ClipsOptionsCli>();
  CLI::App* h = app.add_subcommand(
      "behaviour", "Measure behaviour from a recording's tracks, per animal per time bin: distance travelled (after a "
                   "jitter filter), mean speed, time active and still, visible and missing, median mask area (a size "
                   "index), time in each zone; contacts per pair (bouts, time, longest bout). Writes behaviour.csv "
                   "(tidy), contacts.csv, summary.csv and plots (paths, activity, size, zones, contacts)");
  add_clip_options(*h, *b, false);
  h->add_option("--out", b->out, "Folder to write the tables into (with --shard: the shard's part; with --merge: "
                                 "where the parts are)")
      ->required();
  h->add_option("--shard", b->shard, "Measure shard K of N (K/N; default from SLURM_ARRAY_TASK_ID/COUNT): a block "
                                     "of the clips, written as a part into --out for --merge")->check(shard_validator());
  h->add_flag("--part", b->part, "Write a part for --merge even when this is the only shard (job scripts that "
                                 "always merge)");
  h->add_flag("--merge", b->merge, "Merge the shards' parts (in --parts, else --out) into the tables and plots of "
                                   "one run");
  h->add_option("--parts", b->parts, "With --merge: the folder holding the shards' parts (default: --out)")
      ->check(CLI::ExistingDirectory);
  h->add_option("--pen", b->pen, "Pen-polygon file: with --pen-size, gives the scale")->check(CLI::ExistingFile);
  h->add_option("--pen-size", b->pen_size, "The pen's real size in metres, WxL (e.g. 4x2.5): pixels per metre from "
                                           "the pen polygon's area");
  h->add_option("--zones", b->zones, "LabelMe-style JSON of named zone polygons (feeder, drinker, ...): time in each "
                                     "(an animal is in a zone when its centroid is)")
      ->check(CLI::ExistingFile);
  h->add_option("--bin", b->bin, "Bin length: 10m, 30s, 1h (camera time; frames need times via --videos or --fps) or "
                                 "500f (frames)")
      ->capture_default_str();
  h->add_option("--px-per-metre", b->px_per_metre, "Scale: adds distances in metres and areas in square metres")
      ->check(positive_number());
  h->add_option("--jitter-px", b->behaviour.jitter_px, "Jitter filter radius: the path moves when the centroid leaves it")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1000.0));
  h->add_option("--active", b->behaviour.active_body_lengths, "Active above this speed, in body lengths per second")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1000.0));
  h->add_option("--min-bout", b->behaviour.min_activity_bout_s,
                "Shortest bout of a marginal activity call (speeds within 10 % of the threshold), in seconds: a shorter "
                "run of frames takes the call around it; a clear call is taken at once")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 3600.0));
  h->add_option("--max-gap", b->behaviour.max_gap_frames, "Longest gap in a track (frames) bridged by the distance")
      ->capture_default_str()
      ->check(CLI::Range(0, 100000));
  h->add_option("--contact-px", b->behaviour.contact_px, "Masks this close (pixels) are in contact")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000));
  h->callback([b, h] { run_behaviour(*b, *h); });
}

}  // namespace pelk::cli
