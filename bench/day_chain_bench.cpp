// A synthetic day of one pen: three recordings of twenty 100-frame clips,
// the animals in other places in each recording, one range of the second
// left out (the catalogue's thinning), and events placed across the
// boundaries inside a recording: an animal lying on another, an animal out
// of view, an animal cut in two by a beam. Each clip is tracked on its own
// by the stand-in tracker `pelk track` uses, numbering its animals its own
// way; then `pelk chain` puts the day under one set of identities. Prints,
// per day (a tuning day and held-out days): day IDF1 before and after the
// chain, wrong carries (a clip's track under another animal's day
// identity), tracks left unclear, the verdict of every boundary that was
// not plainly carried, and the chain's time and peak memory beside reading
// the same clips once (`pelk tracks`) and a chain over half the day.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/detect/box_tracker.hpp"
#include "pelk_utils/matching/day_chain.hpp"
#include "pelk_utils/models/classical_detector.hpp"
#include "pelk_utils/models/classical_segmenter.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"
#include "pelk_utils/synth/pen_scene.hpp"

namespace {
namespace fs = std::filesystem;
using pelk::synth::FrameSpan;
using pelk::synth::SceneConfig;

constexpr int kClipFrames = 100, kRange = kClipFrames + 1;
constexpr int kRecordings = 3, kClipsPerRecording = 20;
constexpr int kLeftOutRecording = 1, kLeftOutRange = 10;  // thinned out of the catalogue

std::string video_name(int r) {
  char name[64];
  std::snprintf(name, sizeof(name), "Camera62_1_20240405%02d0000", 7 + r);
  return name;
}

int first_frame(int k) { return kRange * k + 1; }

// The recording `r` of the day `seed`: the animals in their places for it,
// events across its inner boundaries.
SceneConfig recording(int seed, int r, std::string* events) {
  SceneConfig c;
  c.seed = static_cast<std::uint64_t>(seed);
  c.frame_size = {590, 720};
  c.frames = kRange * kClipsPerRecording + 1;
  c.overlap = c.vanish = c.split = {c.frames + 10, c.frames + 11};
  c.visits = {{SceneConfig::kWalker, SceneConfig::kUnder, {c.frames + 10, c.frames + 11}, pelk::synth::VisitKind::kStepBack}};
  std::mt19937 rng(static_cast<unsigned>(seed * 31 + r));
  c.arrangement = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  if (r > 0) std::shuffle(c.arrangement.begin(), c.arrangement.end(), rng);
  c.visits.clear();
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int k = 1; k < kClipsPerRecording; ++k) {
    const int seam = first_frame(k), shift = pick(11) - 5;
    switch ((k + r + seed) % 5) {
      case 0: {  // one animal walks onto a neighbour and lies on it over the boundary
        const int pairs[][2] = {{1, 2}, {3, 4}, {0, 3}, {5, 8}, {4, 5}};
        const auto* p = pairs[pick(5)];
        c.visits.push_back({p[0], p[1], {seam - 18 + shift, seam + 18 + shift},
                            pick(2) ? pelk::synth::VisitKind::kStepBack : pelk::synth::VisitKind::kTurnAround});
        *events += "o";
        break;
      }
      case 1:  // one animal out of view over the boundary
        c.leaves.push_back({pick(10), {seam - 14 + shift, seam + 16 + shift}});
        *events += "v";
        break;
      case 2:  // the beam cuts an animal in two over the boundary
        c.splits.push_back({seam - 8 + shift, seam + 8 + shift});
        *events += "s";
        break;
      default: *events += "."; break;
    }
  }
  *events += "|";
  return c;
}

struct Clip {
  std::string dir;
  int recording = 0, range = 0;
};

// Tracks clip `k` of `scene` from its first frame, numbering the animals in
// a random order (as an initializer does), and writes its annotation files.
Clip track_clip(const pelk::synth::PenScene& scene, int r, int k, const fs::path& root, std::mt19937& rng,
                pelk::ClassicalDetector& detector, pelk::ClassicalSegmenter& segmenter) {
  char range[64];
  std::snprintf(range, sizeof(range), "%.6fmin_to_%.6fmin", kRange * k / 1500.0, kRange * (k + 1) / 1500.0);
  const fs::path frames = root / "frames" / video_name(r) / range;
  const std::vector<std::string> images = scene.write_frames(frames.string(), first_frame(k), kClipFrames);
  std::vector<int> order = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};  // order[id - 1]: the animal it numbers
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<pelk::Mask> initial;
  const auto truth = scene.truth(first_frame(k));
  for (const int animal : order) {
    const pelk::Mask& m = truth[static_cast<std::size_t>(animal)].mask;
    initial.push_back(m.area() >= 50 ? m : pelk::Mask());
  }
  pelk::BoxPropagationTracker tracker(segmenter, initial, &detector, &detector);
  Clip clip{(root / "tracked" / ("r" + std::to_string(r) + "_" + std::to_string(k))).string(), r, k};
  fs::create_directories(clip.dir);
  for (int f = 0; f < kClipFrames; ++f) {
    const std::vector<pelk::Mask> masks = f == 0 ? initial : tracker.track(cv::imread(images[static_cast<std::size_t>(f)]));
    std::vector<pelk::AnnotatedObject> objects;
    for (std::size_t i = 0; i < masks.size(); ++i) {
      if (!masks[i].empty()) objects.push_back({static_cast<std::int64_t>(i + 1), masks[i], {}});
    }
    pelk::write_annotation_file((fs::path(clip.dir) / ("output_pp_" + std::to_string(f) + ".json")).string(),
                                images[static_cast<std::size_t>(f)], objects);
  }
  return clip;
}

// The day measured as one sequence (object ids read as the same animals
// across clips, as the tracks table reads them): IDF1 from each (object id,
// animal) pair's frames matched at IoU >= 0.5, with the best one-to-one
// mapping; and, with `day_ids`, per
// clip, the tracks whose animal (most frames) is not the one their day id
// names (ids up to 10), and the tracks above the pen's ids.
struct DayScore {
  double idf1 = 0;
  int wrong_carries = 0, unclear_tracks = 0, tracker_exchanges = 0;
  std::vector<std::string> wrong;
};

DayScore score_day(const std::vector<Clip>& clips, const std::vector<pelk::synth::PenScene>& scenes, bool day_ids) {
  std::map<std::int64_t, std::map<int, double>> together;  // id -> animal -> frames
  std::map<std::int64_t, int> day_animal;  // day id -> the animal it names
  double tracked = 0, truths = 0;
  DayScore s;
  for (std::size_t c = 0; c < clips.size(); ++c) {
    const pelk::ClipAnnotationData data = pelk::load_clip_masks(clips[c].dir);
    std::map<std::int64_t, std::map<int, int>> in_clip, at_start;  // per id: animal -> frames (all; its first three)
    for (const auto& [key, record] : data) {
      const auto truth = scenes[static_cast<std::size_t>(clips[c].recording)].truth(first_frame(clips[c].range) + key);
      std::vector<std::int64_t> ids;
      std::vector<std::vector<double>> iou;
      for (const auto& [box, mask] : record.masks_dict) {
        ids.push_back(pelk::object_id_of_key(box));
        iou.emplace_back();
        for (const auto& t : truth) iou.back().push_back(t.mask.area() > 0 ? pelk::mask_iou(mask, t.mask) : 0.0);
      }
      for (const auto& t : truth) truths += t.mask.area() > 0;
      tracked += static_cast<double>(ids.size());
      const std::vector<int> match = pelk::best_assignment(iou, 0.5);
      for (std::size_t i = 0; i < ids.size(); ++i) {
        if (match[i] < 0) continue;
        together[ids[i]][match[i]] += 1;
        ++in_clip[ids[i]][match[i]];
        int seen = 0;
        for (const auto& [a, n] : at_start[ids[i]]) seen += n;
        if (seen < 3) ++at_start[ids[i]][match[i]];
      }
    }
    const auto most_of = [](const std::map<int, int>& animals) {
      return std::max_element(animals.begin(), animals.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
    };
    for (const auto& [id, animals] : in_clip) {
      const int most = most_of(animals), first = most_of(at_start.at(id));
      // The day's identities are the first clip's: its tracker's numbering.
      if (c == 0) day_animal[id] = first;
      if (id > 10) {
        ++s.unclear_tracks;
        continue;
      }
      if (!day_ids) continue;
      const int named = day_animal.contains(id) ? day_animal.at(id) : -1;
      // A wrong carry: the track starts on another animal than its day id
      // names (the chain's decision); a track that starts right and follows
      // another animal for most of the clip is its tracker's exchange.
      if (first != named) {
        ++s.wrong_carries;
        s.wrong.push_back(fs::path(clips[c].dir).filename().string() + ": object id " + std::to_string(id) +
                          " starts on animal " + std::to_string(first) + ", its day id names animal " +
                          (named >= 0 ? std::to_string(named) : std::string("none")));
      } else if (most != named) {
        ++s.tracker_exchanges;
      }
    }
  }
  std::vector<std::int64_t> ids;
  for (const auto& [id, a] : together) ids.push_back(id);
  std::vector<std::vector<double>> score(ids.size(), std::vector<double>(10, 0));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    for (const auto& [animal, n] : together[ids[i]]) score[i][static_cast<std::size_t>(animal)] = n;
  }
  const std::vector<int> best = pelk::best_assignment(score, 1);
  double idtp = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (best[i] >= 0) idtp += score[i][static_cast<std::size_t>(best[i])];
  }
  s.idf1 = 2 * idtp / (tracked + truths);
  return s;
}

// Runs `pelk ARGS` through the peak_memory launcher: seconds and peak KiB.
std::pair<double, long> timed(const fs::path& bin, const std::string& args) {
  const std::string command =
      (bin / "peak_memory").string() + " " + (bin.parent_path() / "tools" / "pelk" / "pelk").string() + " " + args;
  FILE* pipe = ::popen(command.c_str(), "r");
  double seconds = 0;
  long kib = 0;
  const bool read = pipe != nullptr && std::fscanf(pipe, "%lf %ld", &seconds, &kib) == 2;
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  if (!read || status != 0) std::fprintf(stderr, "failed (status %d): %s\n", status, command.c_str());
  return {seconds, kib};
}

struct Totals {
  int days = 0, wrong = 0, unclear = 0, unclear_boundaries = 0;
  double min_idf1 = 1;
};

void run_day(int seed, const fs::path& bin, Totals& totals) {
  // PELK_BENCH_KEEP=1 keeps the tracked day and uses it again on the next
  // run (the chain undone first): tuning without tracking again.
  const bool keep = std::getenv("PELK_BENCH_KEEP") != nullptr;
  const fs::path root = fs::temp_directory_path() /
                        ("pelk_bench_day_" + (keep ? std::string("kept") : std::to_string(::getpid())) + "_" + std::to_string(seed));
  const bool reuse = keep && fs::exists(root / "tracked.done");
  if (!reuse) fs::remove_all(root);
  std::string events;
  std::vector<pelk::synth::PenScene> scenes;
  for (int r = 0; r < kRecordings; ++r) scenes.emplace_back(recording(seed, r, &events));
  pelk::ClassicalDetector detector;
  pelk::ClassicalSegmenter segmenter;
  std::mt19937 rng(static_cast<unsigned>(seed));
  std::vector<Clip> clips;
  for (int r = 0; r < kRecordings; ++r) {
    for (int k = 0; k < kClipsPerRecording; ++k) {
      if (r == kLeftOutRecording && k == kLeftOutRange) continue;
      if (reuse) {
        clips.push_back({(root / "tracked" / ("r" + std::to_string(r) + "_" + std::to_string(k))).string(), r, k});
      } else {
        clips.push_back(track_clip(scenes[static_cast<std::size_t>(r)], r, k, root, rng, detector, segmenter));
      }
    }
  }
  if (reuse) {
    std::vector<std::string> dirs;
    for (const Clip& c : clips) dirs.push_back(c.dir);
    pelk::undo_chain(dirs);
  }
  if (keep) std::ofstream(root / "tracked.done") << "";
  const DayScore before = score_day(clips, scenes, false);
  std::vector<std::string> dirs;
  std::string all, half;
  for (const Clip& c : clips) {
    dirs.push_back(c.dir);
    all += " " + c.dir;
    if (dirs.size() <= clips.size() / 2) half += " " + c.dir;
  }
  // The verdicts (a dry run in this process), then the command itself.
  pelk::ChainSettings settings;
  settings.fps = 25;
  const pelk::DayChain verdicts = pelk::chain_clips(dirs, segmenter, settings, true);
  const auto reading = timed(bin, "tracks --fps 25 --out " + (root / "tracks.csv").string() + all);
  const auto half_day = timed(bin, "chain --dry-run --fps 25" + half);
  const auto chain = timed(bin, "chain --fps 25" + all);
  const DayScore after = score_day(clips, scenes, true);
  std::printf("day %d: %zu clips, %zu boundaries (events per recording: %s)\n", seed, clips.size(), verdicts.boundaries.size(),
              events.c_str());
  std::map<std::string, int> kinds;
  int unclear_boundaries = 0;
  for (const pelk::ChainBoundary& b : verdicts.boundaries) {
    ++kinds[std::string(pelk::boundary_kind_name(b.kind)) + " " + b.verdict()];
    unclear_boundaries += b.verdict() == "unclear";
    if (b.verdict() != "carried" || std::getenv("PELK_BENCH_VERBOSE")) {
      std::printf("    %s\n", b.line(fs::path(dirs[b.clip]).filename().string()).c_str());
    }
  }
  for (const auto& [kind, n] : kinds) std::printf("  %-28s %3d boundaries\n", kind.c_str(), n);
  std::printf("  day IDF1: %.2f%% each clip as tracked, %.2f%% chained (target >= 99%%)\n", 100 * before.idf1, 100 * after.idf1);
  std::printf("  wrong carries %d (target 0), tracks left unclear (new object ids) %d, unclear boundaries %d; tracks "
              "carried right that follow another animal for most of their clip (the tracker's exchanges) %d\n",
              after.wrong_carries, after.unclear_tracks, unclear_boundaries, after.tracker_exchanges);
  for (const std::string& w : after.wrong) std::printf("    WRONG %s\n", w.c_str());
  std::printf("  pelk chain over %zu clips: %.2f s, %.0f MiB peak (target <= 10 s); over %zu clips (dry run): %.2f s, %.0f MiB; "
              "baseline pelk tracks over the %zu clips: %.2f s, %.0f MiB\n",
              clips.size(), chain.first, chain.second / 1024.0, clips.size() / 2, half_day.first, half_day.second / 1024.0,
              clips.size(), reading.first, reading.second / 1024.0);
  std::fflush(stdout);
  ++totals.days;
  totals.wrong += after.wrong_carries;
  totals.unclear += after.unclear_tracks;
  totals.unclear_boundaries += unclear_boundaries;
  totals.min_idf1 = std::min(totals.min_idf1, after.idf1);
  if (!keep) fs::remove_all(root);
}

}  // namespace

int main(int, char** argv) {
  const fs::path bin = fs::absolute(fs::path(argv[0])).parent_path();
  // The chain's settings were chosen on the tuning day; held-out days (other
  // seeds: other events, places, numberings) check them.
  const int tuning = std::getenv("PELK_BENCH_FIRST_SEED") ? std::atoi(std::getenv("PELK_BENCH_FIRST_SEED")) : 1;
  const int held_out = std::getenv("PELK_BENCH_DAYS") ? std::atoi(std::getenv("PELK_BENCH_DAYS")) : 2;
  Totals t, h;
  std::printf("tuning day\n");
  run_day(tuning, bin, t);
  std::printf("held-out days\n");
  for (int d = 0; d < held_out; ++d) run_day(tuning + 1000 + d, bin, h);
  std::printf("targets: 0 wrong carries on every day (tuning %d, held-out %d): %s; day IDF1 >= 99%% on held-out days "
              "(lowest %.2f%%): %s; unclear boundaries listed above (%d held out)\n",
              t.wrong, h.wrong, t.wrong + h.wrong == 0 ? "met" : "NOT met", 100 * h.min_idf1,
              h.days == 0 ? "not measured" : h.min_idf1 >= 0.99 ? "met" : "NOT met", h.unclear_boundaries);
  return 0;
}
