// Tracks out: the per-animal table and the exchange formats of a 600-frame
// clip of ten animals at 1180 x 1440 (the figures the issue sets: tracks at
// most 0.3 s, each export at most 0.5 s), beside the clip load alone (the
// baseline all of them pay); then `pelk tracks` over 1, 10 and 100 clips in
// a row (time linear, peak memory flat), each run measured in its own
// process by the peak_memory launcher.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "clip_generator.hpp"
#include "pelk_runner.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/interchange/track_export.hpp"
#include "pelk_utils/tracks/tracks_table.hpp"

namespace {
namespace fs = std::filesystem;

double median_seconds(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  pelk::set_output_sink([](std::string_view) {});
  const fs::path base = fs::temp_directory_path() / "pelk_bench_tracks";
  const std::string clip = (base / "clip").string();
  if (!fs::exists(clip + "/output_pp_0599.json")) pelk::bench::write_clip(clip, 600);
  const fs::path out = base / "out";
  fs::create_directories(out);
  const int runs = 5;

  const double load = median_seconds(runs, [&] { pelk::get_pelk_annotation_data("", false, 0, clip); });
  const double tracks = median_seconds(runs, [&] { pelk::write_tracks_csv({clip}, {}, (out / "t.csv").string()); });
  std::printf("600 frames x 10 animals, medians of %d runs (one process)\n", runs);
  std::printf("  %-28s %6.3f s (baseline: what every output pays)\n", "clip load alone", load);
  std::printf("  %-28s %6.3f s (target <= 0.3 s)\n", "tracks table (CSV)", tracks);
  for (const auto& [name, format] : {std::pair{"export mot", pelk::TrackFormat::kMot},
                                     std::pair{"export cvat", pelk::TrackFormat::kCvat},
                                     std::pair{"export coco", pelk::TrackFormat::kCoco}}) {
    const double t = median_seconds(runs, [&] { pelk::export_tracks({clip}, format, (out / "x").string()); });
    std::printf("  %-28s %6.3f s (target <= 0.5 s)\n", name, t);
  }
  std::fflush(stdout);

  // Many clips in a row: the same clip folder under 100 names.
  const std::vector<std::string> clips = pelk::bench::clip_names(base, clip, 100);
  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  // The CVAT export gathers shapes per identity: it spools them, so its
  // memory stays flat too (20 clips: a file of about 100 MB).
  for (const auto& [verb, counts] :
       {std::pair{std::string("tracks"), std::vector<std::size_t>{1, 10, 100}},
        std::pair{std::string("export --format cvat"), std::vector<std::size_t>{1, 20}}}) {
    std::printf("pelk %s over clips in a row (own process each)\n", verb.c_str());
    double one_seconds = 0;
    long one_kib = 0;
    for (const std::size_t n : counts) {
      const auto [seconds, kib] =
          pelk::bench::run_pelk(bin, verb, {clips.begin(), clips.begin() + static_cast<std::ptrdiff_t>(n)}, (out / "many.out").string());
      if (n == 1) one_seconds = seconds, one_kib = kib;
      std::printf("  %3zu clips: %7.2f s (%.2fx of one clip per clip), peak %6.1f MB (%.2fx of one clip; target <= 1.2x)\n",
                  n, seconds, seconds / (one_seconds * static_cast<double>(n)), kib / 1024.0,
                  static_cast<double>(kib) / static_cast<double>(one_kib));
      std::fflush(stdout);
    }
  }
  fs::remove(out / "many.out");
  return 0;
}
