#include "pelk_utils/matching/identity_repair.hpp"

#include <algorithm>

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/models/testing/fake_models.hpp"
#include "pelk_utils/models/testing/test_encoder.hpp"

namespace pelk {
namespace {

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

}  // namespace
}  // namespace pelk
