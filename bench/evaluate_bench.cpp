// Measures against truth: a 600-frame clip of ten animals by masks (the
// issue's figure: every measure, HOTA included, in at most 1.5 s) and a
// MOTChallenge sequence of 1000 frames and 20 tracks by boxes (at most
// 0.5 s), each beside the reading of its inputs alone, the baseline every
// evaluation pays.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "clip_generator.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/interchange/evaluation_input.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"

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

// Truth: 20 boxes wandering over 1000 frames; the tracker's: jittered, a box
// lost now and then, ids exchanged in pairs every 100 frames, a stray box.
void write_mot_pair(const std::string& truth, const std::string& tracked) {
  std::mt19937 rng(7);
  std::normal_distribution<double> step(0, 3), jitter(0, 2);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<std::pair<double, double>> at(20);
  for (auto& [x, y] : at) x = 1800 * unit(rng), y = 1000 * unit(rng);
  std::ofstream g(truth), t(tracked);
  for (int f = 1; f <= 1000; ++f) {
    for (int i = 0; i < 20; ++i) {
      at[static_cast<std::size_t>(i)].first += step(rng);
      at[static_cast<std::size_t>(i)].second += step(rng);
      const auto [x, y] = at[static_cast<std::size_t>(i)];
      g << f << ',' << i + 1 << ',' << x << ',' << y << ",60,140,1,-1,-1,-1\n";
      if (unit(rng) < 0.03) continue;
      const int id = (f / 100) % 2 == 1 && i < 4 ? (i ^ 1) + 1 : i + 1;
      t << f << ',' << id << ',' << x + jitter(rng) << ',' << y + jitter(rng) << ',' << 60 + jitter(rng) << ','
        << 140 + jitter(rng) << ",-1,-1,-1,-1\n";
    }
    if (unit(rng) < 0.1) t << f << ",99," << 1800 * unit(rng) << ',' << 1000 * unit(rng) << ",50,50,-1,-1,-1,-1\n";
  }
}

}  // namespace

int main() {
  pelk::set_output_sink([](std::string_view) {});
  const fs::path base = fs::temp_directory_path() / "pelk_bench_evaluate";
  const std::string clip = (base / "clip").string();
  if (!fs::exists(clip + "/output_pp_0599.json")) pelk::bench::write_clip(clip, 600);
  const std::string truth = (base / "truth.txt").string(), tracked = (base / "tracked.txt").string();
  write_mot_pair(truth, tracked);
  const int runs = 5;

  std::printf("Evaluation, medians of %d runs (one process)\n", runs);
  const double read_masks = median_seconds(runs, [&] { pelk::read_evaluation_inputs(clip, clip); });
  const auto [t, g] = pelk::read_evaluation_inputs(clip, clip);
  const double measure_masks = median_seconds(runs, [&, &t = t, &g = g] { pelk::evaluate_tracks(t, g); });
  const double whole_masks = median_seconds(runs, [&] {
    const auto [a, b] = pelk::read_evaluation_inputs(clip, clip);
    pelk::evaluate_tracks(a, b);
  });
  std::printf("600 frames x 10 animals, masks\n");
  std::printf("  %-34s %6.3f s (baseline: reading both folders)\n", "reading alone", read_masks);
  std::printf("  %-34s %6.3f s\n", "measures alone (HOTA included)", measure_masks);
  std::printf("  %-34s %6.3f s (target <= 1.5 s)\n", "read and measure", whole_masks);

  const double read_mot = median_seconds(runs, [&] { pelk::read_evaluation_inputs(tracked, truth); });
  const double whole_mot = median_seconds(runs, [&] {
    const auto [a, b] = pelk::read_evaluation_inputs(tracked, truth);
    pelk::evaluate_tracks(a, b);
  });
  const auto [mt, mg] = pelk::read_evaluation_inputs(tracked, truth);
  const pelk::TrackingMeasures m = pelk::evaluate_tracks(mt, mg);
  std::printf("MOTChallenge, 1000 frames x 20 tracks, boxes (HOTA %.3f, MOTA %.3f, %lld switches)\n", m.hota.hota,
              m.mota, static_cast<long long>(m.id_switches));
  std::printf("  %-34s %6.3f s (baseline: reading both files)\n", "reading alone", read_mot);
  std::printf("  %-34s %6.3f s (target <= 0.5 s)\n", "read and measure", whole_mot);
  return 0;
}
