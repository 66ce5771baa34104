// Behaviour measures from annotation files on disk: a 600-frame clip of ten
// animals, frames per second for all measures (the figure: at least
// 5,000 on two cores) beside the clip load alone, the baseline every
// measure pays.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "clip_generator.hpp"
#include "pelk_utils/behaviour/behaviour.hpp"
#include "pelk_utils/core/output.hpp"

namespace {

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
  namespace fs = std::filesystem;
  pelk::set_output_sink([](std::string_view) {});
  const fs::path base = fs::temp_directory_path() / "pelk_bench_behaviour";
  const std::string clip = (base / "clip").string();
  if (!fs::exists(clip + "/output_pp_0599.json")) pelk::bench::write_clip(clip, 600);
  const int runs = 5;
  const double load = median_seconds(runs, [&] { pelk::get_pelk_annotation_data("", false, 0, clip); });
  const double masks = median_seconds(runs, [&] { pelk::load_clip_masks(clip); });
  const double all = median_seconds(runs, [&] { pelk::behaviour({clip}, {}); });
  std::printf("600 frames x 10 animals, medians of %d runs\n", runs);
  std::printf("  %-30s %6.3f s  %7.0f frames/s (baseline)\n", "clip load alone", load, 600 / load);
  std::printf("  %-30s %6.3f s  %7.0f frames/s (what behaviour reads)\n", "masks alone (no tables)", masks, 600 / masks);
  std::printf("  %-30s %6.3f s  %7.0f frames/s (target >= 5000)\n", "all measures, from disk", all, 600 / all);
  return 0;
}
