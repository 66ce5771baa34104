// Behaviour measures from annotation files on disk: a 600-frame clip of ten
// animals, frames per second for all measures (at least 5,000 on two cores)
// beside the clip load alone, the baseline every measure pays; then `pelk
// behaviour` over 1, 10, 40 and 100 clips in a row, each in its own process
// (time linear, peak memory flat; 40 clips as a whole command at least
// 7,500 frames/s), and what that makes of a 12-hour day.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "clip_generator.hpp"
#include "pelk_runner.hpp"
#include "pelk_utils/behaviour/behaviour.hpp"
#include "pelk_utils/core/output.hpp"

namespace {

// Wall-clock and CPU seconds of one step (medians): the CPU figure is the
// steadier on a shared machine, the wall-clock one is the issue's.
struct Timing {
  double wall = 0, cpu = 0;
};

double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

Timing median_timing(int runs, const std::function<void()>& work) {
  std::vector<double> walls, cpus;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu = cpu_now();
    work();
    cpus.push_back(cpu_now() - cpu);
    walls.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  pelk::set_output_sink([](std::string_view) {});
  const fs::path base = fs::temp_directory_path() / "pelk_bench_behaviour";
  const std::string clip = (base / "clip").string();
  if (!fs::exists(clip + "/output_pp_0599.json")) pelk::bench::write_clip(clip, 600);
  const int runs = 15;
  const Timing load = median_timing(runs, [&] { pelk::get_pelk_annotation_data("", false, 0, clip); });
  const Timing masks = median_timing(runs, [&] { pelk::load_clip_masks(clip); });
  const Timing all = median_timing(runs, [&] { pelk::behaviour({clip}, {}); });
  std::printf("600 frames x 10 animals, medians of %d runs (CPU: both cores' seconds)\n", runs);
  const auto row = [](const char* what, const Timing& t, const char* note) {
    std::printf("  %-30s %6.3f s  %7.0f frames/s  CPU %6.3f s (%s)\n", what, t.wall, 600 / t.wall, t.cpu, note);
  };
  row("clip load alone", load, "baseline");
  row("masks alone (no tables)", masks, "what behaviour reads");
  row("all measures, from disk", all, "target >= 5000 frames/s");
  std::fflush(stdout);

  // Many clips in a row (the same folder under 100 names), plots included.
  const std::vector<std::string> clips = pelk::bench::clip_names(base, clip, 100);
  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  const fs::path out = base / "out";
  std::printf("pelk behaviour over clips in a row (own process each, tables and plots written)\n");
  double one_seconds = 0, one_kib = 0, day_seconds = 0;
  double forty_rate = 0;
  for (const std::size_t n : {std::size_t{1}, std::size_t{10}, std::size_t{40}, std::size_t{100}}) {
    const auto [seconds, kib] = pelk::bench::run_pelk(
        bin, "behaviour", {clips.begin(), clips.begin() + static_cast<std::ptrdiff_t>(n)}, out.string());
    if (n == 1) one_seconds = seconds, one_kib = static_cast<double>(kib);
    const double frames = 600.0 * static_cast<double>(n);
    std::printf("  %3zu clips: %7.2f s, %6.0f frames/s (%.2fx of one clip per clip), peak %6.1f MB (%.2fx of one clip)\n", n,
                seconds, frames / seconds, seconds / (one_seconds * static_cast<double>(n)), kib / 1024.0,
                static_cast<double>(kib) / one_kib);
    day_seconds = 432000 / (frames / seconds);
    if (n == 40) forty_rate = frames / seconds;
    std::fflush(stdout);
  }
  std::printf("  a 12-hour day at 10 frames/s (432,000 frames) at the 100-clip rate: %.0f s (target < 90 s)\n",
              day_seconds);
  std::printf("  40 clips as a whole command: %.0f frames/s (target >= 7500) beside the clip load alone: %.0f frames/s\n",
              forty_rate, 600 / load.wall);
  fs::remove_all(out);
  return 0;
}
