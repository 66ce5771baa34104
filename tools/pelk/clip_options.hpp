// What the commands that read a recording's clips in order (tracks, export,
// behaviour) share: the clips, where frame times come from, and a shard's
// block of the clips.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "pelk_utils/behaviour/behaviour.hpp"
#include "pelk_utils/tracks/clip_stream.hpp"

namespace pelk::cli {

struct ClipsOptionsCli {
  std::vector<std::string> clips;
  std::string out, pen, videos, shard, format;
  double fps = 0;
  // pelk behaviour
  std::string zones, bin = "10m", pen_size, parts;
  BehaviourOptions behaviour;
  double px_per_metre = 0;
  bool merge = false, part = false;
};

// Returns where frame times come from: --fps, or the recordings under --videos.
FrameTimeSource time_source(const ClipsOptionsCli& o);

// Returns the clips this shard owns: a contiguous block, so the shards'
// outputs in shard order concatenate to the single run's.
std::vector<std::string> my_clips(const ClipsOptionsCli& o, bool* first_shard);

// Prints each note on a line of its own.
void print_notes(const std::vector<std::string>& notes);

// Adds the clips argument, --fps and --videos.
void add_clip_options(CLI::App& c, ClipsOptionsCli& o, bool clips_required = true);

}  // namespace pelk::cli
