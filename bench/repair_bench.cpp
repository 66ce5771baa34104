// Identity repair over seeded synthetic scenes. Each scene is tracked by the
// stand-in tracker with the built-in models; in every other scene the
// tracked files get the walker's and its neighbour's identities exchanged
// after their overlap episode (a tracker's fault written into the clip, as
// the stand-in tracker rarely makes it by itself). The repair then decides
// every episode. Prints per scene whether a swap was present (tracked keys
// against the truth after the episode), what the repair did, IDF1 before
// and after, and the totals against the targets, with the time per episode.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/detect/box_tracker.hpp"
#include "pelk_utils/matching/identity_repair.hpp"
#include "pelk_utils/models/classical_detector.hpp"
#include "pelk_utils/models/classical_segmenter.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"
#include "pelk_utils/synth/pen_scene.hpp"

namespace {
namespace fs = std::filesystem;
using pelk::synth::SceneConfig;

constexpr int kScenes = 20, kFrames = 64;

std::string key(int identity) { return "Box" + std::to_string(identity); }

// Exchanges two boxes' masks in every frame after `after`.
void exchange(pelk::ClipAnnotationData& clip, const std::string& a, const std::string& b, int after) {
  for (auto& [k, record] : clip) {
    if (k <= after || !record.masks_dict.contains(a) || !record.masks_dict.contains(b)) continue;
    const pelk::Mask ma = record.masks_dict.at(a);
    record.masks_dict.insert_or_assign(a, record.masks_dict.at(b));
    record.masks_dict.insert_or_assign(b, ma);
    record.mask_areas = pelk::mask_areas(record.masks_dict);
  }
}

// Whether box `a` follows truth animal `b` (and the other way round) in
// frame `f`: the tracked identities of the pair are exchanged there.
bool exchanged_at(const pelk::ClipAnnotationData& tracked, const pelk::ClipAnnotationData& truth, int f,
                  const std::string& a, const std::string& b) {
  const auto& t = tracked.at(f).masks_dict;
  const auto& g = truth.at(f).masks_dict;
  return pelk::mask_iou(t.at(a), g.at(b)) > pelk::mask_iou(t.at(a), g.at(a)) &&
         pelk::mask_iou(t.at(b), g.at(a)) > pelk::mask_iou(t.at(b), g.at(b));
}

struct SceneResult {
  bool present = false, repaired = false, false_repair = false;
  double idf1_before = 0, idf1_after = 0;
  int episodes = 0;
  double seconds = 0;
};

SceneResult run_scene(int seed, bool inject, pelk::ClassicalDetector& detector, pelk::ClassicalSegmenter& segmenter) {
  SceneConfig c;
  c.seed = static_cast<std::uint64_t>(seed);
  c.frame_size = {590, 720};
  c.frames = kFrames;
  c.overlap = {8, 8 + 22 + seed % 7};
  c.vanish = {kFrames + 10, kFrames + 11};  // no other events
  c.split = {kFrames + 20, kFrames + 21};
  const pelk::synth::PenScene scene(c);
  const fs::path dir = fs::temp_directory_path() / ("pelk_bench_repair_" + std::to_string(seed));
  fs::remove_all(dir);
  const std::vector<std::string> frames = scene.write_frames(dir.string(), 0, kFrames);

  pelk::ClipAnnotationData truth, tracked;
  std::vector<pelk::Mask> initial;
  for (const auto& t : scene.truth(0)) initial.push_back(t.mask);
  pelk::BoxPropagationTracker tracker(segmenter, initial, &detector, &detector);
  for (int f = 0; f < kFrames; ++f) {
    pelk::FrameRecord g, r;
    g.frame_index = r.frame_index = f;
    for (const auto& t : scene.truth(f)) g.masks_dict.insert_or_assign(key(t.identity), t.mask);
    const std::vector<pelk::Mask> masks = f == 0 ? initial : tracker.track(cv::imread(frames[static_cast<std::size_t>(f)]));
    for (std::size_t i = 0; i < masks.size(); ++i) r.masks_dict.insert_or_assign(key(static_cast<int>(i)), masks[i]);
    r.mask_areas = pelk::mask_areas(r.masks_dict);
    r.image_path = frames[static_cast<std::size_t>(f)];
    truth.emplace(f, std::move(g));
    tracked.emplace(f, std::move(r));
  }
  const std::string a = key(SceneConfig::kWalker), b = key(SceneConfig::kUnder);
  if (inject) {
    for (const pelk::OverlapEpisode& e : pelk::find_overlap_episodes(tracked)) {
      if (e.box_a == a && e.box_b == b) {
        exchange(tracked, a, b, e.last_frame);
        break;
      }
    }
  }
  SceneResult out;
  out.present = exchanged_at(tracked, truth, kFrames - 1, a, b);
  out.idf1_before = pelk::evaluate_tracking(tracked, truth).idf1;
  const auto start = std::chrono::steady_clock::now();
  const std::vector<pelk::SwapDecision> decisions = pelk::decide_identity_swaps(tracked, segmenter);
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out.episodes = static_cast<int>(decisions.size());
  for (const pelk::SwapDecision& d : decisions) {
    if (std::getenv("PELK_BENCH_VERBOSE")) {
      std::printf("  %s-%s %d..%d before %d after %d keep %.3f swap %.3f: %s\n", d.episode.box_a.c_str(),
                  d.episode.box_b.c_str(), d.episode.first_frame, d.episode.last_frame, d.before_frame.value_or(-1),
                  d.after_frame.value_or(-1), d.keep_cost, d.swap_cost, d.reason.c_str());
    }
    if (d.verdict != pelk::SwapVerdict::kSwap) continue;
    exchange(tracked, d.episode.box_a, d.episode.box_b, d.episode.last_frame);
  }
  const bool fixed = !exchanged_at(tracked, truth, kFrames - 1, a, b);
  bool any_swap = false;
  for (const pelk::SwapDecision& d : decisions) any_swap = any_swap || d.verdict == pelk::SwapVerdict::kSwap;
  out.repaired = out.present && fixed;
  out.false_repair = any_swap && !out.present;
  out.idf1_after = pelk::evaluate_tracking(tracked, truth).idf1;
  fs::remove_all(dir);
  return out;
}

}  // namespace

int main() {
  pelk::ClassicalDetector detector;
  pelk::ClassicalSegmenter segmenter;
  int present = 0, repaired = 0, missed = 0, false_repairs = 0, episodes = 0;
  double idf1_before = 0, idf1_after = 0, seconds = 0;
  std::printf("%-6s %-8s %-8s %-8s %-12s %-11s %s\n", "scene", "swap", "repaired", "false", "IDF1 before", "IDF1 after",
              "episodes");
  // PELK_BENCH_FIRST_SEED picks another set of scenes (a held-out check of
  // the decision's margin, which was chosen on scenes 1..20).
  const int first = std::getenv("PELK_BENCH_FIRST_SEED") ? std::atoi(std::getenv("PELK_BENCH_FIRST_SEED")) : 1;
  for (int seed = first; seed < first + kScenes; ++seed) {
    const SceneResult r = run_scene(seed, seed % 2 == 0, detector, segmenter);
    present += r.present;
    repaired += r.repaired;
    missed += r.present && !r.repaired;
    false_repairs += r.false_repair;
    episodes += r.episodes;
    idf1_before += r.idf1_before;
    idf1_after += r.idf1_after;
    seconds += r.seconds;
    std::printf("%-6d %-8s %-8s %-8s %-12.3f %-11.3f %d\n", seed, r.present ? "yes" : "no", r.repaired ? "yes" : "-",
                r.false_repair ? "YES" : "-", r.idf1_before, r.idf1_after, r.episodes);
  }
  std::printf("swaps present %d, repaired %d (%.0f%%, target >= 90%%), missed %d, false repairs %d (target 0)\n", present,
              repaired, present ? 100.0 * repaired / present : 100.0, missed, false_repairs);
  std::printf("mean IDF1 before %.3f, after %.3f (target >= 0.95); %.0f ms per episode decided (%d episodes)\n",
              idf1_before / kScenes, idf1_after / kScenes, episodes ? 1e3 * seconds / episodes : 0.0, episodes);
  return 0;
}
