#include "pelk_utils/matching/day_chain.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/file_changes.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/models/classical_segmenter.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"
#include "pelk_utils/synth/pen_scene.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using synth::FrameSpan;
using synth::SceneConfig;

constexpr int kClipFrames = 60;  // saved frames per clip; each range has one more (its detection frame)
constexpr int kRange = kClipFrames + 1;
constexpr int kWalker = SceneConfig::kWalker, kUnder = SceneConfig::kUnder;

// The first frame of clip `k` in its recording.
int first_frame(int k) { return kRange * k + 1; }
// The boundary between clip k - 1 and k, in recording frames.
int seam(int k) { return first_frame(k); }

// A scene with none of the default events, unless a case adds some.
SceneConfig quiet_scene() {
  SceneConfig c;
  c.frame_size = {590, 720};
  c.frames = 400;
  c.overlap = {900, 901};
  c.visits = {{kWalker, kUnder, {900, 901}, synth::VisitKind::kStepBack}};  // off the clips
  c.vanish = {900, 901};
  c.split = {900, 901};
  return c;
}

// A tracker's numbering: ids[animal] is the object id the clip gives it.
using Numbering = std::vector<int>;
Numbering rotated(int by) {
  Numbering ids;
  for (int a = 0; a < 10; ++a) ids.push_back((a + by) % 10 + 1);
  return ids;
}

class DayChainTest : public testing::ScratchDirTest {
 protected:
  // Writes clip `k` of `scene` as `pelk extract` and a tracker would: the
  // frames under <video>/<start>min_to_<end>min/, one annotation file per
  // frame with the animals in view under `ids`. `exchange` lists frames
  // (clip keys) in which the walker's and kUnder's ids are exchanged.
  std::string write_clip(const synth::PenScene& scene, int k, const std::string& video, const Numbering& ids,
                         const std::string& name, const std::vector<int>& exchange = {}) {
    char range[64];
    std::snprintf(range, sizeof(range), "%.6fmin_to_%.6fmin", kRange * k / 1500.0, kRange * (k + 1) / 1500.0);
    const fs::path frames = dir_ / "frames" / video / range;
    const std::vector<std::string> images = scene.write_frames(frames.string(), first_frame(k), kClipFrames);
    const fs::path ann = dir_ / name;
    fs::create_directories(ann);
    for (int f = 0; f < kClipFrames; ++f) {
      std::vector<AnnotatedObject> objects;
      const bool swapped = std::find(exchange.begin(), exchange.end(), f) != exchange.end();
      for (const auto& t : scene.truth(first_frame(k) + f)) {
        if (t.mask.area() < 20) continue;  // out of view: the tracker has no mask for it
        int animal = t.identity;
        if (swapped && animal == kWalker) animal = kUnder;
        else if (swapped && animal == kUnder) animal = kWalker;
        objects.push_back({ids[static_cast<std::size_t>(animal)], t.mask, {}});
      }
      write_annotation_file((ann / ("output_pp_" + std::to_string(f) + ".json")).string(), images[static_cast<std::size_t>(f)],
                            objects);
    }
    return ann.string();
  }

  // The animal behind each object id in each frame of a chained clip, checked
  // against the truth: returns the number of (frame, object) pairs whose id
  // is another animal's day id (a wrong carry). Day id of animal a: a + 1.
  int wrong_ids(const std::string& clip, const synth::PenScene& scene, int k) {
    int wrong = 0;
    for (const auto& [key, record] : load_clip_masks(clip)) {
      const auto truth = scene.truth(first_frame(k) + key);
      for (const auto& [box, mask] : record.masks_dict) {
        const std::int64_t id = object_id_of_key(box);
        int best = -1;
        double best_iou = 0;
        for (const auto& t : truth) {
          const double iou = mask_iou(mask, t.mask);
          if (iou > best_iou) best_iou = iou, best = t.identity;
        }
        if (id <= 10 && id != best + 1) ++wrong;
      }
    }
    return wrong;
  }

  std::map<std::string, std::string> texts(const std::vector<std::string>& clips) {
    std::map<std::string, std::string> out;
    for (const std::string& c : clips) {
      for (const auto& e : fs::directory_iterator(c)) out[e.path().string()] = testing::slurp(e.path());
    }
    return out;
  }

  ChainSettings settings() const {
    ChainSettings s;
    s.fps = 25;
    return s;
  }

  ClassicalSegmenter predictor_;
};

const Carry* carry_of(const ChainBoundary& b, std::int64_t object_id) {
  for (const Carry& c : b.carries) {
    if (c.object_id == object_id) return &c;
  }
  return nullptr;
}

TEST_F(DayChainTest, APlainBoundaryCarriesEveryAnimalAndUndoRestoresBytes) {
  const synth::PenScene scene(quiet_scene());
  const std::vector<std::string> clips = {write_clip(scene, 0, "Camera62_1_20240405070000", rotated(0), "a"),
                                          write_clip(scene, 1, "Camera62_1_20240405070000", rotated(3), "b")};
  const auto before = texts(clips);
  const DayChain dry = chain_clips(clips, predictor_, settings(), true);
  EXPECT_EQ(texts(clips), before) << "a dry run writes nothing";
  EXPECT_EQ(dry.files_changed, static_cast<std::size_t>(kClipFrames));
  ASSERT_EQ(dry.boundaries.size(), 1u);
  EXPECT_EQ(dry.boundaries[0].kind, BoundaryKind::kContinuous) << dry.boundaries[0].kind_reason;
  EXPECT_EQ(dry.boundaries[0].verdict(), "carried") << dry.boundaries[0].line("b");
  const DayChain done = chain_clips(clips, predictor_, settings());
  EXPECT_EQ(done.clips_changed, 1u);
  EXPECT_EQ(wrong_ids(clips[1], scene, 1), 0);
  EXPECT_TRUE(fs::exists(fs::path(clips[1]) / kChainChanges.manifest));
  // A second run finds the day's identities in place and changes nothing.
  const auto chained = texts(clips);
  EXPECT_EQ(chain_clips(clips, predictor_, settings()).clips_changed, 0u);
  EXPECT_EQ(texts(clips), chained);
  EXPECT_EQ(undo_chain(clips, true).files, static_cast<std::size_t>(kClipFrames));
  EXPECT_EQ(texts(clips), chained) << "an undo dry run writes nothing";
  EXPECT_EQ(undo_chain(clips).files, static_cast<std::size_t>(kClipFrames));
  EXPECT_EQ(texts(clips), before);
}

// Boundary cases: events placed across the boundary between two clips.
struct BoundaryCase {
  const char* name;
  void (*edit)(SceneConfig&);
  std::vector<std::pair<int, CarryKind>> expected;  // animal -> how its track of the later clip is carried
  int new_ids = 0;                                  // tracks given an object id above the pen's
};

class BoundaryCaseTest : public DayChainTest, public ::testing::WithParamInterface<BoundaryCase> {};

TEST_P(BoundaryCaseTest, CarriesOnlyWhatItCanTell) {
  SceneConfig config = quiet_scene();
  GetParam().edit(config);
  const synth::PenScene scene(config);
  const Numbering later = rotated(7);
  const std::vector<std::string> clips = {write_clip(scene, 0, "Camera62_1_20240405070000", rotated(0), "a"),
                                          write_clip(scene, 1, "Camera62_1_20240405070000", later, "b")};
  const DayChain chain = chain_clips(clips, predictor_, settings());
  const ChainBoundary& b = chain.boundaries.at(0);
  const std::string line = b.line("b");
  for (const auto& [animal, how] : GetParam().expected) {
    const Carry* c = carry_of(b, later[static_cast<std::size_t>(animal)]);
    ASSERT_NE(c, nullptr) << "animal " << animal << "\n" << line;
    EXPECT_EQ(c->how, how) << "animal " << animal << "\n" << line;
  }
  int new_ids = 0;
  for (const Carry& c : b.carries) new_ids += c.day_id > 10;
  EXPECT_EQ(new_ids, GetParam().new_ids) << line;
  EXPECT_EQ(wrong_ids(clips[1], scene, 1), 0) << "no animal under another's identity\n" << line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundaryCaseTest,
    ::testing::Values(
        BoundaryCase{"OutOfViewAcrossIt",
                     [](SceneConfig& c) { c.leaves = {{3, {seam(1) - 12, seam(1) + 20}}}; },
                     {{3, CarryKind::kByElimination}, {0, CarryKind::kCarried}}},
        BoundaryCase{"TwoOutOfViewAtOnceAreNotGuessed",
                     [](SceneConfig& c) { c.leaves = {{3, {seam(1) - 12, seam(1) + 20}}, {8, {seam(1) - 10, seam(1) + 25}}}; },
                     {{3, CarryKind::kUnclear}, {8, CarryKind::kUnclear}},
                     2},
        BoundaryCase{"SplitAcrossIt", [](SceneConfig& c) { c.splits = {{seam(1) - 6, seam(1) + 6}}; },
                     {{SceneConfig::kSplitAnimal, CarryKind::kCarried}}},
        BoundaryCase{"OverlapAcrossIt",
                     [](SceneConfig& c) { c.visits = {{kWalker, kUnder, {seam(1) - 18, seam(1) + 18}, synth::VisitKind::kStepBack}}; },
                     {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DayChainTest, ATrackersExchangeAtTheStartOfTheLaterClipIsTakenBack) {
  // The walker lies on its neighbour across the boundary and the later
  // clip's tracker exchanges the pair while they lie together. The clip's
  // own repair cannot tell (the clip starts inside the pile: no frame before
  // it shows them apart); the joined frames can.
  SceneConfig config = quiet_scene();
  config.visits = {{kWalker, kUnder, {seam(1) - 20, seam(1) + 14}, synth::VisitKind::kStepBack}};
  const synth::PenScene scene(config);
  std::vector<int> exchanged;  // from its frame 5 on, inside the pile
  for (int f = 5; f < kClipFrames; ++f) exchanged.push_back(f);
  const std::vector<std::string> clips = {
      write_clip(scene, 0, "Camera62_1_20240405070000", rotated(0), "a"),
      write_clip(scene, 1, "Camera62_1_20240405070000", rotated(2), "b", exchanged)};
  const DayChain chain = chain_clips(clips, predictor_, settings());
  const std::string line = chain.boundaries.at(0).line("b");
  // Every frame after the pile is right; frames where the two lie together
  // are ambiguous to anyone and not checked.
  int wrong_after = 0;
  for (const auto& [key, record] : load_clip_masks(clips[1])) {
    if (key < 20) continue;
    const auto truth = scene.truth(first_frame(1) + key);
    for (const int animal : {kWalker, kUnder}) {
      const Mask& m = record.masks_dict.at(box_key(animal));
      wrong_after += mask_iou(m, truth[static_cast<std::size_t>(animal)].mask) < 0.5;
    }
  }
  EXPECT_EQ(wrong_after, 0) << line;
}

// Two recordings of the pen an hour apart, the animals in other places.
class GapTest : public DayChainTest {
 protected:
  std::vector<std::string> write_gap(bool look_alike) {
    SceneConfig first = quiet_scene(), second = quiet_scene();
    first.look_alike = second.look_alike = look_alike;
    second.arrangement = {4, 0, 7, 9, 1, 6, 2, 5, 3, 8};
    scene_a_ = std::make_unique<synth::PenScene>(first);
    scene_b_ = std::make_unique<synth::PenScene>(second);
    return {write_clip(*scene_a_, 0, "Camera62_1_20240405070000", rotated(0), "a"),
            write_clip(*scene_b_, 0, "Camera62_1_20240405080000", rotated(4), "b")};
  }
  std::unique_ptr<synth::PenScene> scene_a_, scene_b_;
};

TEST_F(GapTest, AnimalsRearrangedAcrossAGapArePairedByAppearance) {
  const std::vector<std::string> clips = write_gap(false);
  const DayChain chain = chain_clips(clips, predictor_, settings());
  const ChainBoundary& b = chain.boundaries.at(0);
  EXPECT_EQ(b.kind, BoundaryKind::kGap) << b.kind_reason;
  EXPECT_EQ(wrong_ids(clips[1], *scene_b_, 0), 0) << b.line("b");
  int told = 0;
  for (const Carry& c : b.carries) told += c.how == CarryKind::kByAppearance || c.how == CarryKind::kByElimination;
  EXPECT_GE(told, 8) << b.line("b");
}

TEST_F(GapTest, ALookAlikePairAcrossAGapIsLeftUnclear) {
  const std::vector<std::string> clips = write_gap(true);
  const DayChain chain = chain_clips(clips, predictor_, settings());
  const ChainBoundary& b = chain.boundaries.at(0);
  EXPECT_EQ(wrong_ids(clips[1], *scene_b_, 0), 0) << b.line("b");
  for (const int animal : {kWalker, kUnder}) {
    const Carry* c = carry_of(b, rotated(4)[static_cast<std::size_t>(animal)]);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->how, CarryKind::kUnclear) << b.line("b");
    EXPECT_GT(c->day_id, 10);
  }
}

TEST_F(DayChainTest, ClipsOutOfOrderOrTwiceOrAloneAreRefusedWithNothingWritten) {
  const synth::PenScene scene(quiet_scene());
  const std::string a = write_clip(scene, 0, "Camera62_1_20240405070000", rotated(0), "a");
  const std::string b = write_clip(scene, 1, "Camera62_1_20240405070000", rotated(1), "b");
  const auto before = texts({a, b});
  const auto refused = [&](const std::vector<std::string>& clips, const std::string& words) {
    try {
      chain_clips(clips, predictor_, settings());
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  };
  refused({b, a}, "give the clips in the order they were recorded");
  refused({a, a}, "given twice");
  refused({a}, "at least two clips");
  EXPECT_EQ(texts({a, b}), before);
}

void kill_now(const char* step) {
  static int files = 0;
  if (std::string(step) == "file" && ++files == 25) std::raise(SIGKILL);
}

TEST_F(DayChainTest, AKilledChainLeavesEveryClipReadableAndUndoRestoresIt) {
  const synth::PenScene scene(quiet_scene());
  const std::vector<std::string> clips = {write_clip(scene, 0, "Camera62_1_20240405070000", rotated(0), "a"),
                                          write_clip(scene, 1, "Camera62_1_20240405070000", rotated(1), "b"),
                                          write_clip(scene, 2, "Camera62_1_20240405070000", rotated(2), "c")};
  const auto before = texts(clips);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    testing::set_file_change_hook(kill_now);
    try {
      chain_clips(clips, predictor_, settings());
    } catch (...) {
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  for (const std::string& c : clips) EXPECT_EQ(load_clip_masks(c, true).size(), static_cast<std::size_t>(kClipFrames));
  try {
    chain_clips(clips, predictor_, settings());
    ADD_FAILURE() << "a chain over an interrupted one was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("interrupted chain"), std::string::npos) << e.what();
  }
  undo_chain(clips);
  EXPECT_EQ(texts(clips), before);
}

TEST(ClipRelabelTest, ExchangesApplyAfterTheirFrameInOrder) {
  ClipRelabel r;
  r.to = {{1, 3}, {2, 1}, {3, 2}};
  r.swaps = {{5, 3, 1}, {8, 1, 2}};
  struct Row {
    std::int64_t object;
    int key;
    std::int64_t day;
  };
  for (const Row& row : {Row{1, 0, 3}, Row{1, 5, 3}, Row{1, 6, 1}, Row{1, 9, 2}, Row{2, 6, 3}, Row{3, 9, 1}, Row{4, 9, 4}}) {
    EXPECT_EQ(r.day_id(row.object, row.key), row.day) << row.object << " at " << row.key;
  }
  EXPECT_TRUE(r.changes());
  EXPECT_FALSE((ClipRelabel{{{1, 1}, {2, 2}}, {}}).changes());
}

TEST(ChainSettingsTest, NonsenseIsRefusedNamingTheSetting) {
  const std::vector<std::pair<std::string, void (*)(ChainSettings&)>> cases = {
      {"animals", [](ChainSettings& s) { s.animals = 0; }},
      {"window_frames", [](ChainSettings& s) { s.window_frames = 1; }},
      {"seam_iou", [](ChainSettings& s) { s.seam_iou = 0; }},
      {"gap_margin", [](ChainSettings& s) { s.gap_margin = -1; }},
      {"fps", [](ChainSettings& s) { s.fps = 0.0; }},
      {"margin", [](ChainSettings& s) { s.repair.margin = -1; }},
  };
  for (const auto& [name, edit] : cases) {
    ChainSettings s;
    edit(s);
    try {
      check_chain_settings(s);
      ADD_FAILURE() << name << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace pelk
