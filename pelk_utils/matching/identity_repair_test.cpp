#include "pelk_utils/matching/identity_repair.hpp"

#include <algorithm>
#include <array>

#include <cmath>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/file_changes.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/matching/folder_repair.hpp"
#include "pelk_utils/models/testing/fake_models.hpp"
#include "pelk_utils/models/testing/test_encoder.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;

const cv::Size kFrame(120, 40);

Mask square(int x) { return Mask(kFrame, cv::Rect(x, 15, 12, 12), cv::Mat1b(12, 12, uchar{1})); }

// Where the two animals are in one frame (column of A, column of B), and
// which keys the tracker wrote them under.
struct Positions {
  int a, b;
  bool swapped = false;  // the tracker wrote A under Box1 and B under Box0
};

// How the two animals look: bright bodies with a dark marking, on A down its
// left side (its right side once it turned around), on B across its top;
// look-alike animals both carry A's.
struct Looks {
  bool alike = false;
  int turned_from = 1 << 30;  // A shows its marking mirrored from this frame on
};

class IdentityRepairTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    predictor_.encoder = &encoder_;
  }
  // Writes one image per frame (the animals painted where they are, B on
  // top) and returns the tracked clip.
  ClipAnnotationData clip(const std::vector<Positions>& frames, const Looks& looks = {}) const {
    ClipAnnotationData out;
    for (std::size_t f = 0; f < frames.size(); ++f) {
      const Positions& p = frames[f];
      cv::Mat3b image(kFrame);
      cv::theRNG().state = 7;
      cv::randu(image, 0, 60);
      const cv::Vec3b body(220, 220, 220), marking(70, 70, 70);
      const bool turned = static_cast<int>(f) >= looks.turned_from;
      image(cv::Rect(p.a, 15, 12, 12)).setTo(body);
      image(cv::Rect(p.a + (turned ? 7 : 0), 15, 4, 12)).setTo(marking);
      image(cv::Rect(p.b, 15, 12, 12)).setTo(body);
      image(looks.alike ? cv::Rect(p.b, 15, 4, 12) : cv::Rect(p.b, 15, 12, 4)).setTo(marking);
      FrameRecord r;
      r.frame_index = static_cast<std::int64_t>(f);
      r.image_path = path("frame" + std::to_string(f) + ".png");
      cv::imwrite(r.image_path, image);
      r.masks_dict.insert_or_assign("Box0", square(p.swapped ? p.b : p.a));
      r.masks_dict.insert_or_assign("Box1", square(p.swapped ? p.a : p.b));
      r.mask_areas = mask_areas(r.masks_dict);
      out.emplace(static_cast<int>(f), r);
    }
    return out;
  }
  testing::GridLayoutEncoder encoder_;
  testing::FakePredictor predictor_;
};

// B walks onto A (frames 4..7), then back the way it came.
std::vector<Positions> lies_on(bool tracker_swaps) {
  std::vector<Positions> frames;
  for (int f = 0; f < 12; ++f) {
    const bool on = f >= 4 && f <= 7;
    frames.push_back({10, on ? 10 : 80, tracker_swaps && f > 7});
  }
  return frames;
}

// A walks right, under B, which stays, and on to B's far side (overlap
// above 80 % in frames 19..21, or only in frame 20 when fast).
std::vector<Positions> goes_on(bool tracker_swaps, int step = 2) {
  std::vector<Positions> frames;
  const int at_b = 44 / step;  // A walks from column 6 to 94
  for (int f = 0; f <= 2 * at_b; ++f) frames.push_back({50 + step * (f - at_b), 50, tracker_swaps && f > at_b + 12 / step});
  return frames;
}

// A comes to lie beside B (touching, neither covering the other) in frames
// 5..8 and goes back.
std::vector<Positions> touches(bool tracker_swaps) {
  std::vector<Positions> frames;
  for (int f = 0; f < 14; ++f) frames.push_back({f >= 5 && f <= 8 ? 38 : 10, 50, tracker_swaps && f > 8});
  return frames;
}

struct BadSettingCase {
  const char* name;
  RepairSettings settings;
  const char* message;
  friend void PrintTo(const BadSettingCase& c, std::ostream* os) { *os << c.name; }
};

class RepairSettingsTest : public ::testing::TestWithParam<BadSettingCase> {};

TEST_P(RepairSettingsTest, AreRefusedBeforeAnythingIsDecided) {
  try {
    find_overlap_episodes({}, GetParam().settings);
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), GetParam().message);
  }
}

RepairSettings with(void (*change)(RepairSettings&)) {
  RepairSettings s;
  change(s);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RepairSettingsTest,
    ::testing::Values(
        BadSettingCase{"negative_margin", with([](RepairSettings& s) { s.margin = -5; }),
                       "repair setting margin must be a finite number of 0 or more, got -5.0"},
        BadSettingCase{"nan_margin", with([](RepairSettings& s) { s.margin = std::nan(""); }),
                       "repair setting margin must be a finite number of 0 or more, got nan"},
        BadSettingCase{"infinite_margin", with([](RepairSettings& s) { s.margin = HUGE_VAL; }),
                       "repair setting margin must be a finite number of 0 or more, got inf"},
        BadSettingCase{"overlap_above_100", with([](RepairSettings& s) { s.intersection_thrr = 120; }),
                       "repair setting intersection_thrr must be a percentage from 0 to 100, got 120.0"},
        BadSettingCase{"no_frames", with([](RepairSettings& s) { s.min_frames = 0; }),
                       "repair setting min_frames must be 1 or more, got 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IdentityRepairTest, FindsEpisodesOfConsecutiveOverlapFrames) {
  const std::vector<OverlapEpisode> episodes = find_overlap_episodes(clip(lies_on(false)));
  ASSERT_EQ(episodes.size(), 1u);
  EXPECT_EQ(episodes[0].box_a, "Box0");
  EXPECT_EQ(episodes[0].box_b, "Box1");
  EXPECT_EQ(episodes[0].first_frame, 4);
  EXPECT_EQ(episodes[0].last_frame, 7);
  RepairSettings longer;
  longer.min_frames = 5;
  EXPECT_EQ(find_overlap_episodes(clip(lies_on(false)), longer).at(0).kind, EpisodeKind::kShortOverlap);
  longer.short_contacts = false;
  EXPECT_TRUE(find_overlap_episodes(clip(lies_on(false)), longer).empty());
}

struct DecisionCase {
  const char* name;
  std::vector<Positions> frames;
  Looks looks;
  EpisodeKind kind;
  SwapVerdict verdict;
  friend void PrintTo(const DecisionCase& c, std::ostream* os) { *os << c.name; }
};

class IdentityDecisionTest : public IdentityRepairTest, public ::testing::WithParamInterface<DecisionCase> {};

TEST_P(IdentityDecisionTest, DecidesFromTheFramesAroundTheEpisode) {
  const std::vector<SwapDecision> decisions = decide_identity_swaps(clip(GetParam().frames, GetParam().looks), predictor_);
  ASSERT_EQ(decisions.size(), 1u);
  const SwapDecision& d = decisions[0];
  EXPECT_EQ(d.episode.kind, GetParam().kind);
  EXPECT_EQ(d.verdict, GetParam().verdict) << d.reason << " " << d.cues.appearance << " " << d.cues.position << " "
                                           << d.cues.heading;
  EXPECT_GE(d.frames_compared, 4) << "several frames on each side";
}

std::vector<Positions> stepped_back_but_looks_exchanged() {
  std::vector<Positions> frames = lies_on(false);
  for (std::size_t f = 8; f < frames.size(); ++f) std::swap(frames[f].a, frames[f].b), frames[f].swapped = true;
  return frames;  // painted exchanged, tracked where each was: appearance and position disagree
}

INSTANTIATE_TEST_SUITE_P(
    Episodes, IdentityDecisionTest,
    ::testing::Values(
        DecisionCase{"stepped_back_kept", lies_on(false), {}, EpisodeKind::kOverlap, SwapVerdict::kKeep},
        DecisionCase{"stepped_back_exchanged", lies_on(true), {}, EpisodeKind::kOverlap, SwapVerdict::kSwap},
        DecisionCase{"turned_around_kept", lies_on(false), {false, 6}, EpisodeKind::kOverlap, SwapVerdict::kKeep},
        DecisionCase{"turned_around_exchanged", lies_on(true), {false, 6}, EpisodeKind::kOverlap, SwapVerdict::kSwap},
        DecisionCase{"went_on_kept", goes_on(false), {}, EpisodeKind::kOverlap, SwapVerdict::kKeep},
        DecisionCase{"went_on_exchanged", goes_on(true), {}, EpisodeKind::kOverlap, SwapVerdict::kSwap},
        // Look-alikes that meet and part where neither cue can tell: a tie.
        DecisionCase{"look_alike_went_on", goes_on(true), {true}, EpisodeKind::kOverlap, SwapVerdict::kUnclear},
        DecisionCase{"cues_disagree", stepped_back_but_looks_exchanged(), {}, EpisodeKind::kOverlap, SwapVerdict::kUnclear},
        // Short contacts are decided under the same rule.
        DecisionCase{"one_frame_crossing", goes_on(true, 6), {}, EpisodeKind::kShortOverlap, SwapVerdict::kSwap},
        DecisionCase{"touching_exchanged", touches(true), {}, EpisodeKind::kContact, SwapVerdict::kSwap},
        DecisionCase{"touching_kept", touches(false), {}, EpisodeKind::kContact, SwapVerdict::kKeep}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IdentityRepairTest, ContactsAreLeftOutWhenAskedTo) {
  RepairSettings overlaps_only;
  overlaps_only.short_contacts = false;
  EXPECT_TRUE(find_overlap_episodes(clip(touches(false)), overlaps_only).empty());
  EXPECT_TRUE(find_overlap_episodes(clip(goes_on(false, 6)), overlaps_only).empty());
  EXPECT_EQ(find_overlap_episodes(clip(goes_on(false, 6))).size(), 1u);
}

TEST_F(IdentityRepairTest, EpisodeAtTheClipEndIsLeftAlone) {
  std::vector<Positions> frames = lies_on(false);
  frames.resize(7);  // ends inside the episode: no frame after it
  const std::vector<SwapDecision> decisions = decide_identity_swaps(clip(frames), predictor_);
  ASSERT_EQ(decisions.size(), 1u);
  EXPECT_EQ(decisions[0].verdict, SwapVerdict::kUnclear);
  EXPECT_EQ(decisions[0].reason, "unclear: no frame with both animals apart after the episode");
  EXPECT_TRUE(swaps_of(decisions).empty());
}

// The decided swap, applied, leaves nothing to decide: repair is idempotent.
TEST_F(IdentityRepairTest, SwapsOfTheDecisionsAndASecondPassFindsNothing) {
  const std::vector<SwapDecision> decisions = decide_identity_swaps(clip(lies_on(true)), predictor_);
  const std::vector<IdentitySwap> swaps = swaps_of(decisions);
  ASSERT_EQ(swaps.size(), 1u);
  EXPECT_EQ(swaps[0].after_frame, 7);
  EXPECT_EQ(swaps[0].object_a, 1);
  EXPECT_EQ(swaps[0].object_b, 2);
  const std::vector<SwapDecision> again = decide_identity_swaps(clip(lies_on(false)), predictor_);
  EXPECT_TRUE(swaps_of(again).empty());
}

struct JudgeCase {
  const char* name;
  CueCosts costs;
  SwapVerdict verdict;
  const char* reason;  // how the reason starts
  friend void PrintTo(const JudgeCase& c, std::ostream* os) { *os << c.name; }
};

CueCosts costs(std::array<double, 2> appearance, std::array<double, 2> position, std::array<double, 2> heading,
               int animals = 2) {
  return {appearance, position, heading, animals};
}

class JudgeCuesTest : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(JudgeCuesTest, ExchangesOnlyOnStrongEvidence) {
  const Judgement j = judge_cues(GetParam().costs, RepairSettings{});
  EXPECT_EQ(j.verdict, GetParam().verdict) << j.reason;
  EXPECT_EQ(j.reason.rfind(GetParam().reason, 0), 0u) << j.reason;
}

INSTANTIATE_TEST_SUITE_P(
    Rule, JudgeCuesTest,
    ::testing::Values(
        // Heading alone, 3 % apart, both far from where the animals were
        // heading (8.9 body sizes): neither assignment explains the evidence.
        JudgeCase{"one_cue_near_tie_poor_fit", costs({0.5, 0.5}, {3.0, 3.0}, {8.90, 8.64}), SwapVerdict::kUnclear,
                  "unclear: neither assignment fits"},
        // Heading alone, fitting, but 15 % of its cost apart.
        JudgeCase{"one_cue_narrow_share", costs({0.5, 0.5}, {1.0, 1.0}, {2.0, 1.7}), SwapVerdict::kUnclear,
                  "unclear: one cue alone, by a narrow share of its own cost"},
        JudgeCase{"one_cue_decisive", costs({0.9, 0.3}, {1.0, 1.0}, {1.5, 1.5}), SwapVerdict::kSwap,
                  "the identities were exchanged"},
        JudgeCase{"two_cues", costs({0.5, 0.5}, {1.0, 0.8}, {1.2, 1.0}), SwapVerdict::kSwap, "the identities were exchanged"},
        JudgeCase{"decisive_but_poor_fit", costs({3.0, 1.8}, {1.0, 1.0}, {1.5, 1.5}), SwapVerdict::kUnclear,
                  "unclear: neither assignment fits"},
        // Fits are per animal: a pile of four may cost twice a pair.
        JudgeCase{"pile_of_four_fits", costs({3.2, 1.8}, {2.0, 2.0}, {3.0, 3.0}, 4), SwapVerdict::kSwap,
                  "the identities were exchanged"},
        JudgeCase{"disagree", costs({0.9, 0.3}, {0.3, 1.5}, {1.0, 1.0}), SwapVerdict::kUnclear, "unclear: the cues disagree"},
        JudgeCase{"kept", costs({0.3, 0.9}, {0.3, 1.5}, {1.0, 1.0}), SwapVerdict::kKeep, "the identities were kept"},
        JudgeCase{"tie", costs({0.5, 0.5}, {1.0, 1.0}, {1.0, 1.0}), SwapVerdict::kUnclear, "unclear: too close to call"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PileGroupsTest, EpisodesSharingAnAnimalCloseInTimeFormOnePile) {
  const std::vector<OverlapEpisode> episodes = {
      {"Box0", "Box1", 10, 15},  // A-B, then B-C three frames later: one pile
      {"Box1", "Box2", 18, 20},
      {"Box3", "Box4", 19, 22},  // at the same time, other animals: its own
      {"Box2", "Box3", 40, 42},  // C-D long after: its own
      {"Box5", "Box6", 50, 52},
      {"Box6", "Box7", 58, 60}};  // six frames on: past the default five
  const std::vector<std::vector<std::size_t>> want = {{0, 1}, {2}, {3}, {4}, {5}};
  EXPECT_EQ(pile_groups(episodes, 5), want);
  EXPECT_EQ(pile_groups(episodes, 6).back(), (std::vector<std::size_t>{4, 5}));
}

// Three animals in a row: B walks onto A (frames 4..7), back, onto C
// (frames 10..13) and back. `keys` says which animal the tracker wrote
// under Box0, Box1, Box2 from frame 14 on; `painted_swap` paints A and B
// exchanged from frame 14 on (their looks traded, positions kept). With
// `stays_on_c`, B stays on C from frame 10 to the clip's end and `keys`
// holds from frame 8 on.
struct PileOfThree {
  std::array<int, 3> keys = {0, 1, 2};
  bool painted_swap = false;
  bool stays_on_c = false;
};

class PileRepairTest : public IdentityRepairTest {
 protected:
  ClipAnnotationData pile(const PileOfThree& p) const {
    ClipAnnotationData out;
    for (int f = 0; f < 24; ++f) {
      const int b = f >= 4 && f <= 7 ? 10 : f >= 10 && (f <= 13 || p.stays_on_c) ? 90 : 50;
      const std::array<int, 3> x = {10, b, 90};
      cv::Mat3b image(kFrame);
      cv::theRNG().state = 7;
      cv::randu(image, 0, 60);
      // Drawn A, C, then B (on top); each with its own marking.
      const bool traded = p.painted_swap && f >= 14;
      for (const int animal : {0, 2, 1}) {
        const int look = traded && animal < 2 ? 1 - animal : animal;
        image(cv::Rect(x[static_cast<std::size_t>(animal)], 15, 12, 12)).setTo(cv::Vec3b(220, 220, 220));
        const cv::Rect marks[3] = {cv::Rect(0, 0, 4, 12), cv::Rect(0, 0, 12, 4), cv::Rect(8, 0, 4, 12)};
        image(marks[look] + cv::Point(x[static_cast<std::size_t>(animal)], 15)).setTo(cv::Vec3b(70, 70, 70));
      }
      FrameRecord r;
      r.frame_index = f;
      r.image_path = path("pile" + std::to_string(f) + ".png");
      cv::imwrite(r.image_path, image);
      for (int k = 0; k < 3; ++k) {
        const int animal = f >= (p.stays_on_c ? 8 : 14) ? p.keys[static_cast<std::size_t>(k)] : k;
        r.masks_dict.insert_or_assign("Box" + std::to_string(k), square(x[static_cast<std::size_t>(animal)]));
      }
      r.mask_areas = mask_areas(r.masks_dict);
      out.emplace(f, r);
    }
    return out;
  }
};

TEST_F(PileRepairTest, APileOfThreeWithOneSwapIsDecidedJointly) {
  const std::vector<SwapDecision> decisions = decide_identity_swaps(pile({{1, 0, 2}}), predictor_);
  ASSERT_EQ(decisions.size(), 2u);
  for (const SwapDecision& d : decisions) {
    EXPECT_EQ(d.pile, (std::vector<std::string>{"Box0", "Box1", "Box2"})) << d.reason;
    EXPECT_NE(d.reason.find("decided with its pile (Box0, Box1, Box2 in frames 4..13)"), std::string::npos) << d.reason;
  }
  EXPECT_EQ(decisions[0].verdict, SwapVerdict::kSwap) << decisions[0].reason;  // A-B
  EXPECT_EQ(decisions[1].verdict, SwapVerdict::kKeep) << decisions[1].reason;  // B-C
  const std::vector<IdentitySwap> swaps = swaps_of(decisions);
  ASSERT_EQ(swaps.size(), 1u);
  EXPECT_EQ(swaps[0].after_frame, 13) << "after the whole pile";
  EXPECT_EQ(std::minmax(swaps[0].object_a, swaps[0].object_b), std::minmax(std::int64_t{1}, std::int64_t{2}));
  // The same pile tracked right: both kept.
  for (const SwapDecision& d : decide_identity_swaps(pile({}), predictor_)) {
    EXPECT_EQ(d.verdict, SwapVerdict::kKeep) << d.reason;
  }
}

TEST_F(PileRepairTest, APileWhoseJointDecisionIsUnclearLeavesEveryPairAlone) {
  // Looks say A and B traded, places say they did not: no pair is touched.
  const std::vector<SwapDecision> decisions = decide_identity_swaps(pile({{0, 1, 2}, true}), predictor_);
  ASSERT_EQ(decisions.size(), 2u);
  for (const SwapDecision& d : decisions) {
    EXPECT_EQ(d.verdict, SwapVerdict::kUnclear) << d.reason;
    EXPECT_EQ(d.reason.rfind("unclear: decided with its pile", 0), 0u) << d.reason;
  }
  EXPECT_TRUE(swaps_of(decisions).empty());
  // A cycle of three (A under B's key, B under C's, C under A's) is not an
  // exchange of two animals that met: left to a person.
  for (const SwapDecision& d : decide_identity_swaps(pile({{1, 2, 0}}), predictor_)) {
    EXPECT_EQ(d.verdict, SwapVerdict::kUnclear) << d.reason;
  }
}

TEST_F(PileRepairTest, APileThatLastsToTheClipEndIsToldByTheAnimalsThatLeftIt) {
  // A and B exchanged after frame 7; B then lies on C to the end. A alone
  // comes out of the pile: it tells the A-B exchange; B-C stays unclear.
  const std::vector<SwapDecision> decisions = decide_identity_swaps(pile({{1, 0, 2}, false, true}), predictor_);
  ASSERT_EQ(decisions.size(), 2u);
  EXPECT_EQ(decisions[0].verdict, SwapVerdict::kSwap) << decisions[0].reason;
  EXPECT_NE(decisions[0].reason.find("told by Box1 after it (Box0, Box2 not seen apart)"), std::string::npos)
      << decisions[0].reason;
  EXPECT_EQ(decisions[1].verdict, SwapVerdict::kUnclear) << decisions[1].reason;
  EXPECT_NE(decisions[1].reason.find("Box0 and Box2 are not seen apart after it"), std::string::npos) << decisions[1].reason;
  const std::vector<IdentitySwap> swaps = swaps_of(decisions);
  ASSERT_EQ(swaps.size(), 1u);
  EXPECT_EQ(swaps[0].after_frame, 7) << "where A came out, not the pile's end";
  EXPECT_EQ(std::minmax(swaps[0].object_a, swaps[0].object_b), std::minmax(std::int64_t{1}, std::int64_t{2}));
  // Tracked right: A-B kept, B-C (never apart again) unclear, nothing exchanged.
  const std::vector<SwapDecision> right = decide_identity_swaps(pile({{0, 1, 2}, false, true}), predictor_);
  ASSERT_EQ(right.size(), 2u);
  EXPECT_EQ(right[0].verdict, SwapVerdict::kKeep) << right[0].reason;
  EXPECT_EQ(right[1].verdict, SwapVerdict::kUnclear) << right[1].reason;
}

// A pile of three that moves smoothly (each square overlaps itself from
// frame to frame): B walks onto A (lies on it in frames 10..15), leaves it
// (their masks share pixels last in frame 16), walks on onto C (lies on it
// from frame 20) and, unless `stays`, leaves C in frames 26..28. The
// tracker exchanged A and B where they parted (Box0 holds B from frame 17).
// The clip ends `tail` frames after B left C.
struct PartingPile {
  bool stays = false;
  int tail = 12;
};

class PartingPileTest : public IdentityRepairTest {
 protected:
  static int b_at(int f, bool stays) {
    if (f <= 10) return 60 - 4 * f;                           // 60 .. 20
    if (f <= 15) return 20;                                   // on A
    if (f <= 20) return 20 + 10 * (f - 15);                   // 30 .. 70
    if (stays || f <= 25) return 70;                          // on C
    return std::min(100, 70 + 10 * (f - 25));                 // 80 .. 100
  }
  ClipAnnotationData clip_of(const PartingPile& p, bool tracker_swaps) const {
    ClipAnnotationData out;
    const int frames = p.stays ? 34 : 28 + p.tail + 1;
    for (int f = 0; f < frames; ++f) {
      const std::array<int, 3> x = {20, b_at(f, p.stays), 70};
      cv::Mat3b image(kFrame);
      cv::theRNG().state = 7;
      cv::randu(image, 0, 60);
      for (const int animal : {0, 2, 1}) {
        image(cv::Rect(x[static_cast<std::size_t>(animal)], 15, 12, 12)).setTo(cv::Vec3b(220, 220, 220));
        const cv::Rect marks[3] = {cv::Rect(0, 0, 4, 12), cv::Rect(0, 0, 12, 4), cv::Rect(8, 0, 4, 12)};
        image(marks[animal] + cv::Point(x[static_cast<std::size_t>(animal)], 15)).setTo(cv::Vec3b(70, 70, 70));
      }
      FrameRecord r;
      r.frame_index = f;
      r.image_path = path("parting" + std::to_string(f) + ".png");
      cv::imwrite(r.image_path, image);
      const bool swapped = tracker_swaps && f >= 17;
      const std::array<int, 3> animal_of_key = {swapped ? 1 : 0, swapped ? 0 : 1, 2};
      for (int k = 0; k < 3; ++k) {
        r.masks_dict.insert_or_assign("Box" + std::to_string(k), square(x[static_cast<std::size_t>(animal_of_key[k])]));
      }
      r.mask_areas = mask_areas(r.masks_dict);
      out.emplace(f, r);
    }
    return out;
  }
};

// The exchange starts where the exchanged pair parted, not after the pile:
// frames 17..25 are B's under Box1 once repaired; on a clip that ends two
// frames after the pile too; and where the pair cannot be told apart to the
// pile's end, after the pile, saying why.
TEST_F(PartingPileTest, AnExchangeStartsWhereThePairParted) {
  for (const int tail : {12, 2}) {
    const std::vector<SwapDecision> decisions = decide_identity_swaps(clip_of({false, tail}, true), predictor_);
    const std::vector<IdentitySwap> swaps = swaps_of(decisions);
    ASSERT_EQ(swaps.size(), 1u) << "tail " << tail;
    EXPECT_EQ(swaps[0].after_frame, 16) << "tail " << tail << ": after the last frame A and B overlapped";
    EXPECT_EQ(std::minmax(swaps[0].object_a, swaps[0].object_b), std::minmax(std::int64_t{1}, std::int64_t{2}));
    for (const SwapDecision& d : decisions) {
      if (d.verdict != SwapVerdict::kSwap) continue;
      EXPECT_NE(d.reason.find("exchanged from frame 17, where they parted (the last frame their masks overlapped is 16)"),
                std::string::npos) << d.reason;
    }
    // Tracked right: nothing to exchange.
    EXPECT_TRUE(swaps_of(decide_identity_swaps(clip_of({false, tail}, false), predictor_)).empty()) << "tail " << tail;
  }
}

// The folder road: a dry run says where the exchange starts; a frame edited
// before the run (C moved by a pixel, far from the pair) changes nothing of
// it; the run writes B's masks back under Box1 from frame 17 on, and the
// undo restores every byte.
TEST_F(PartingPileTest, AFolderRerunAfterAnEditExchangesFromTheParting) {
  const ClipAnnotationData tracked = clip_of({}, true);
  const std::string dir = path("clip");
  fs::create_directories(dir);
  const auto file = [&](int f) { return dir + "/output_pp_" + std::to_string(f) + ".json"; };
  for (const auto& [f, record] : tracked) {
    std::vector<AnnotatedObject> objects;
    for (int k = 0; k < 3; ++k) objects.push_back({k + 1, record.masks_dict.at("Box" + std::to_string(k))});
    write_annotation_file(file(f), record.image_path, objects);
  }
  const FolderRepair dry = repair_clip_folder(dir, predictor_, {}, true);
  ASSERT_EQ(dry.swaps.size(), 1u);
  EXPECT_EQ(dry.swaps[0].after_frame, 16);
  const int edited = static_cast<int>(tracked.size()) - 3;
  {
    const FrameRecord& r = tracked.at(edited);
    write_annotation_file(file(edited), r.image_path,
                          {{1, r.masks_dict.at("Box0")}, {2, r.masks_dict.at("Box1")},
                           {3, Mask(kFrame, cv::Rect(71, 15, 12, 12), cv::Mat1b(12, 12, uchar{1}))}});
  }
  std::map<int, std::string> before;
  for (const auto& [f, record] : tracked) before[f] = testing::slurp(file(f));
  const FolderRepair run = repair_clip_folder(dir, predictor_);
  ASSERT_EQ(run.swaps.size(), 1u);
  EXPECT_EQ(run.swaps[0].after_frame, 16);
  const ClipAnnotationData repaired = load_whole_clip(dir);
  for (const auto& [f, record] : repaired) {
    EXPECT_EQ(record.masks_dict.at("Box0").bounds().x, 20) << "frame " << f << ": Box0 is A";
  }
  undo_file_changes(dir);
  for (const auto& [f, text] : before) EXPECT_EQ(testing::slurp(file(f)), text) << "frame " << f;
}

TEST_F(IdentityRepairTest, TheSecondLookWithdrawsAnExchangeTheFollowingFramesContradict) {
  // The tracker writes A and B exchanged for the three frames after the
  // episode only (a flicker), then right again until frame 19.
  std::vector<Positions> frames = lies_on(false);
  frames.resize(20, frames.back());
  for (int f = 8; f <= 10; ++f) frames[static_cast<std::size_t>(f)].swapped = true;
  const std::vector<SwapDecision> decisions = decide_identity_swaps(clip(frames), predictor_);
  ASSERT_EQ(decisions.size(), 1u);
  EXPECT_EQ(decisions[0].verdict, SwapVerdict::kUnclear) << decisions[0].reason;
  EXPECT_EQ(decisions[0].reason.rfind("unclear: the frames up to 17 do not bear out the exchange", 0), 0u)
      << decisions[0].reason;
  EXPECT_NE(decisions[0].reason.find("first look: the identities were exchanged"), std::string::npos);
  // A lasting exchange is borne out and stays.
  frames = lies_on(true);
  frames.resize(20, frames.back());
  EXPECT_EQ(decide_identity_swaps(clip(frames), predictor_).at(0).verdict, SwapVerdict::kSwap);
}

// B comes onto A (frames 4..8) and goes back; A, under it, turns from
// lying along the rows to lying across them (from frame 7). Both are long
// bodies with a head at one end and a marking of their own. The tracker
// writes A under Box1 and B under Box0 after frame 8 when `tracker_swaps`.
ClipAnnotationData turned_under(const std::string& dir, bool tracker_swaps) {
  const cv::Size frame(160, 60);
  // The animal's body and head, centred at `c`, along `degrees`.
  const auto shape = [&](cv::Point2f c, float degrees) {
    cv::Mat1b m = cv::Mat1b::zeros(frame);
    cv::ellipse(m, cv::RotatedRect(c, cv::Size2f(32, 12), degrees), 255, cv::FILLED);
    const float r = degrees * static_cast<float>(CV_PI) / 180;
    cv::circle(m, cv::Point(cvRound(c.x + 18 * std::cos(r)), cvRound(c.y + 18 * std::sin(r))), 4, 255, cv::FILLED);
    return m;
  };
  ClipAnnotationData out;
  for (int f = 0; f < 15; ++f) {
    const cv::Point2f a(30, 30), b(f >= 4 && f <= 8 ? 30.f : 120.f, 30);
    const float a_degrees = f >= 7 ? 90.f : 0.f;
    cv::Mat3b image(frame);
    cv::theRNG().state = 7;
    cv::randu(image, 0, 60);
    const cv::Mat1b ma = shape(a, a_degrees), mb = shape(b, 0);
    image.setTo(cv::Vec3b(220, 220, 220), ma);
    // A's marking: a dark patch on its hind end; B's: one on its front end.
    const float r = a_degrees * static_cast<float>(CV_PI) / 180;
    cv::circle(image, cv::Point(cvRound(a.x - 9 * std::cos(r)), cvRound(a.y - 9 * std::sin(r))), 6, cv::Scalar(60, 60, 60),
               cv::FILLED);
    image.setTo(cv::Vec3b(220, 220, 220), mb);
    cv::circle(image, cv::Point(cvRound(b.x) + 9, 30), 6, cv::Scalar(60, 60, 60), cv::FILLED);
    FrameRecord rec;
    rec.frame_index = f;
    rec.image_path = dir + "/turned" + std::to_string(f) + ".png";
    cv::imwrite(rec.image_path, image);
    const bool swapped = tracker_swaps && f > 8;
    rec.masks_dict.insert_or_assign("Box0", Mask(swapped ? mb : ma));
    rec.masks_dict.insert_or_assign("Box1", Mask(swapped ? ma : mb));
    rec.mask_areas = mask_areas(rec.masks_dict);
    out.emplace(f, rec);
  }
  return out;
}

TEST_F(IdentityRepairTest, AnAnimalThatTurnedIsComparedUpright) {
  // As seen, the turned A looks like nobody it was and B, lying as A lay,
  // looks like A: appearance would say "kept" against where each was.
  // Upright, each looks like itself.
  const std::vector<SwapDecision> swapped = decide_identity_swaps(turned_under(path(""), true), predictor_);
  ASSERT_EQ(swapped.size(), 1u);
  EXPECT_EQ(swapped[0].verdict, SwapVerdict::kSwap) << swapped[0].reason;
  // Appearance itself votes (as seen it would fall short of a vote).
  EXPECT_LT(swapped[0].cues.appearance, -RepairSettings{}.cue_margin) << swapped[0].reason;
  const std::vector<SwapDecision> kept = decide_identity_swaps(turned_under(path(""), false), predictor_);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].verdict, SwapVerdict::kKeep) << kept[0].reason;
  EXPECT_GT(kept[0].cues.appearance, RepairSettings{}.cue_margin) << kept[0].reason;
}

TEST_F(IdentityRepairTest, AppearanceComesFromWholeMasksNotShreds) {
  // The tracker is losing A as B comes near: A's masks of the two frames
  // before the episode are shreds of it. Appearance is then taken from A's
  // nearest whole masks; the scene is still before the episode, so every
  // cost stays as it was.
  const ClipAnnotationData whole = clip(lies_on(true));
  ClipAnnotationData shredded = whole;
  for (const int f : {2, 3}) {
    FrameRecord& r = shredded.at(f);
    r.masks_dict.insert_or_assign("Box0", Mask(kFrame, cv::Rect(10, 15, 4, 4), cv::Mat1b(4, 4, uchar{1})));
    r.mask_areas = mask_areas(r.masks_dict);
  }
  const SwapDecision a = decide_identity_swaps(whole, predictor_).at(0);
  const SwapDecision b = decide_identity_swaps(shredded, predictor_).at(0);
  EXPECT_EQ(b.verdict, SwapVerdict::kSwap) << b.reason;
  EXPECT_DOUBLE_EQ(a.costs.appearance[0], b.costs.appearance[0]);
  EXPECT_DOUBLE_EQ(a.costs.appearance[1], b.costs.appearance[1]);
}

}  // namespace
}  // namespace pelk
