#include "clip_options.hpp"

#include <cmath>
#include <cstdlib>
#include <iostream>

#include "pelk_utils/video/catalogue.hpp"
#include "shard.hpp"

namespace pelk::cli {

FrameTimeSource time_source(const ClipsOptionsCli& o) {
  FrameTimeSource times;
  if (o.fps > 0) times.fps = o.fps;
  if (!o.videos.empty()) {
    times.recording_rates = recording_rates(o.videos);
    times.recording_files = recording_files(o.videos);
    times.read_frame_times = recording_frame_times;
  }
  return times;
}

std::vector<std::string> my_clips(const ClipsOptionsCli& o, bool* first_shard) {
  const Shard shard = resolve_shard(o.shard);
  *first_shard = shard.index == 0;
  const std::size_t n = o.clips.size();
  const std::size_t begin = n * shard.index / shard.count, end = n * (shard.index + 1) / shard.count;
  return {o.clips.begin() + static_cast<std::ptrdiff_t>(begin), o.clips.begin() + static_cast<std::ptrdiff_t>(end)};
}

void print_notes(const std::vector<std::string>& notes) {
  for (const std::string& n : notes) std::cout << n << "\n";
}

void add_clip_options(CLI::App& c, ClipsOptionsCli& o, bool clips_required) {
  CLI::Option* clips =
      c.add_option("clips", o.clips, "Annotation folders of a recording's clips, in the order they were recorded")
          ->check(CLI::ExistingDirectory);
  if (clips_required) clips->required();
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

}  // namespace pelk::cli
