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

class IdentityRepairTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    cv::Mat3b image(kFrame);
    cv::theRNG().state = 7;
    cv::randu(image, 0, 255);
    image_ = path("frame.png");
    cv::imwrite(image_, image);
    predictor_.encoder = &encoder_;
  }
  ClipAnnotationData clip(const std::vector<Positions>& frames) const {
    ClipAnnotationData out;
    for (std::size_t f = 0; f < frames.size(); ++f) {
      FrameRecord r;
      r.frame_index = static_cast<std::int64_t>(f);
      r.image_path = image_;
      const Positions& p = frames[f];
      r.masks_dict.insert_or_assign("Box0", square(p.swapped ? p.b : p.a));
      r.masks_dict.insert_or_assign("Box1", square(p.swapped ? p.a : p.b));
      r.mask_areas = mask_areas(r.masks_dict);
      out.emplace(static_cast<int>(f), r);
    }
    return out;
  }
  std::string image_;
  testing::GridStatsEncoder encoder_;
  testing::FakePredictor predictor_;
};

// B walks onto A (frames 4..7), then back to where it came from.
std::vector<Positions> lies_on(bool tracker_swaps) {
  std::vector<Positions> frames;
  for (int f = 0; f < 12; ++f) {
    const bool on = f >= 4 && f <= 7;
    frames.push_back({10, on ? 10 : 80, tracker_swaps && f > 7});
  }
  return frames;
}

// A walks right past B, which stays (overlap above 80 % in frames 19..21):
// after the crossing A is on B's far side, the identities were kept.
std::vector<Positions> crossing() {
  std::vector<Positions> frames;
  for (int f = 0; f < 30; ++f) frames.push_back({10 + 2 * f, 50});
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
  EXPECT_TRUE(find_overlap_episodes(clip(lies_on(false)), longer).empty());
}

struct DecisionCase {
  const char* name;
  std::vector<Positions> frames;
  std::vector<SwapVerdict> allowed;
  friend void PrintTo(const DecisionCase& c, std::ostream* os) { *os << c.name; }
};

class IdentityDecisionTest : public IdentityRepairTest, public ::testing::WithParamInterface<DecisionCase> {};

TEST_P(IdentityDecisionTest, DecidesFromTheFramesAroundTheEpisode) {
  const std::vector<SwapDecision> decisions = decide_identity_swaps(clip(GetParam().frames), predictor_);
  ASSERT_EQ(decisions.size(), 1u);
  const auto& allowed = GetParam().allowed;
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), decisions[0].verdict), allowed.end())
      << decisions[0].reason << " keep " << decisions[0].keep_cost << " swap " << decisions[0].swap_cost;
}

INSTANTIATE_TEST_SUITE_P(
    Episodes, IdentityDecisionTest,
    ::testing::Values(DecisionCase{"tracker_exchanged_them", lies_on(true), {SwapVerdict::kSwap}},
                      DecisionCase{"tracker_kept_them", lies_on(false), {SwapVerdict::kKeep}},
                      // Where each was before would say "exchanged"; where each was
                      // heading says kept. Never a repair (left alone at worst).
                      DecisionCase{"animals_crossed", crossing(), {SwapVerdict::kKeep, SwapVerdict::kUnclear}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IdentityRepairTest, EpisodeAtTheClipEndIsLeftAlone) {
  std::vector<Positions> frames = lies_on(false);
  frames.resize(7);  // ends inside the episode: no frame after it
  const std::vector<SwapDecision> decisions = decide_identity_swaps(clip(frames), predictor_);
  ASSERT_EQ(decisions.size(), 1u);
  EXPECT_EQ(decisions[0].verdict, SwapVerdict::kUnclear);
  EXPECT_EQ(decisions[0].reason, "no frame with both animals apart after the episode");
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
