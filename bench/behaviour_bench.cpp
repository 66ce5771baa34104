// Behaviour measures from annotation files on disk: a 600-frame clip of ten
// animals, frames per second for all measures (the figure: at least
// 5,000 on two cores) beside the clip load alone, the baseline every
// measure pays.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "clip_generator.hpp"
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
  return 0;
}
