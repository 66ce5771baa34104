#include "pelk_utils/matching/last_frame.hpp"

#include <gtest/gtest.h>

#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
using testing::CoutCapture;

const cv::Size kFrame(120, 40);

// A frame of `n` separate 8 x 8 squares Box0..Box(n-1); `small` gets an area
// of `small_area` instead; `stack` puts Box1 half over Box0.
FrameRecord frame(int n, int small = -1, int small_area = 64, bool stack = false) {
  FrameRecord r;
  for (int i = 0; i < n; ++i) {
    cv::Mat1b m = cv::Mat1b::zeros(kFrame);
    cv::Rect square(i * 11, 5, 8, 8);
    if (stack && i == 1) square.x = 4;
    if (i == small) square = cv::Rect(i * 11, 5, small_area, 1);
    if (!square.empty()) m(square).setTo(1);
    r.masks_dict.insert_or_assign("Box" + std::to_string(i), Mask(m));
  }
  return r;
}

ClipAnnotationData clip(int first_key, const std::vector<FrameRecord>& frames) {
  ClipAnnotationData c;
  for (std::size_t i = 0; i < frames.size(); ++i) c.emplace(first_key + static_cast<int>(i), frames[i]);
  return c;
}

struct LastFrameCase {
  const char* name;
  ClipAnnotationData data;
  int max_attempts;
  std::vector<std::optional<std::string>> remove;
  std::optional<int> chosen;  // key of the chosen frame
  std::string printed;
  friend void PrintTo(const LastFrameCase& c, std::ostream* os) { *os << c.name; }
};

class LastFrameTest : public ::testing::TestWithParam<LastFrameCase> {};

TEST_P(LastFrameTest, ChoosesTheLatestUsableFrame) {
  LastFrameCase c = GetParam();
  CoutCapture cap;
  const BestLastFrame best = find_best_laste_frame(c.data, 10, c.max_attempts, c.remove);
  EXPECT_EQ(cap.text(), c.printed);
  if (!c.chosen) {
    EXPECT_TRUE(best.no_best_laste_frame);
    EXPECT_EQ(best.best_laste_frame, nullptr);
    return;
  }
  EXPECT_FALSE(best.no_best_laste_frame);
  EXPECT_EQ(best.best_laste_frame, &c.data.at(*c.chosen));  // the caller's own record
}

const std::string kFail10 = "No valid frame found with all masks area > 10 in the last 10 frames for 10 tracks.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, LastFrameTest,
    ::testing::Values(
        LastFrameCase{"last_of_600_qualifies", clip(597, {frame(10), frame(10), frame(10)}), 10, {}, 599, ""},
        LastFrameCase{"area_equal_to_min_area_is_rejected", clip(597, {frame(10), frame(10), frame(10, 3, 10)}), 10,
                      {}, 598, "Switched to frame key 598 due to small mask area in later frames.\n"},
        LastFrameCase{"clip_ending_elsewhere_prints_the_switch", clip(0, {frame(10), frame(10)}), 10, {}, 1,
                      "Switched to frame key 1 due to small mask area in later frames.\n"},
        LastFrameCase{"vanished_mask_is_rejected", clip(598, {frame(10), frame(10, 4, 0)}), 10, {}, 598,
                      "Switched to frame key 598 due to small mask area in later frames.\n"},
        LastFrameCase{"stacked_masks_are_rejected", clip(598, {frame(10), frame(10, -1, 64, true)}), 10, {}, 598,
                      "Switched to frame key 598 due to small mask area in later frames.\n"},
        LastFrameCase{"nine_tracks_after_removal", clip(599, {frame(10, 2, 0)}), 10, {"Box2"}, 599, ""},
        LastFrameCase{"null_entry_removes_nothing", clip(599, {frame(9)}), 10, {std::nullopt}, std::nullopt,
                      kFail10},
        LastFrameCase{"empty_text_lowers_the_count_only", clip(599, {frame(9)}), 10, {""}, 599, ""},
        LastFrameCase{"no_attempts", clip(599, {frame(10)}), 0, {}, std::nullopt,
                      "No valid frame found with all masks area > 10 in the last 0 frames for 10 tracks.\n"},
        LastFrameCase{"attempts_beyond_the_clip_stop_at_its_first_frame", clip(0, {frame(9), frame(9), frame(9)}), 50,
                      {}, std::nullopt,
                      "No valid frame found with all masks area > 10 in the last 50 frames for 10 tracks.\n"},
        LastFrameCase{"empty_clip", ClipAnnotationData{}, 10, {}, std::nullopt, kFail10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LastFrameRemovalTest, ReachesEveryFrameOfTheCallersData) {
  ClipAnnotationData data = clip(0, {frame(10), frame(10), frame(10)});
  CoutCapture quiet;
  find_best_laste_frame(data, 10, 1, {"Box2", "Box7", "Box42"});
  for (const auto& [key, record] : data) {
    EXPECT_EQ(record.masks_dict.size(), 8u) << key;
    EXPECT_FALSE(record.masks_dict.contains("Box2"));
    EXPECT_FALSE(record.masks_dict.contains("Box7"));
  }
}

// Frames whose every box was removed hold no masks: their intersections
// table is 0 x 0, which must pass the overlap test instead of crashing.
TEST(LastFrameRemovalTest, FramesWithNoMasksLeftPassWhenNothingIsTracked) {
  std::vector<std::optional<std::string>> every_box;
  for (int i = 0; i < 10; ++i) every_box.push_back("Box" + std::to_string(i));
  ClipAnnotationData data = clip(598, {frame(10), frame(10)});
  CoutCapture cap;
  const BestLastFrame best = find_best_laste_frame(data, 10, 10, every_box);
  EXPECT_EQ(best.best_laste_frame, &data.at(599));
  EXPECT_TRUE(data.at(599).masks_dict.empty());
  EXPECT_EQ(cap.text(), "");

  ClipAnnotationData empty_frames = clip(598, {FrameRecord{}, FrameRecord{}});
  const BestLastFrame none = find_best_laste_frame(empty_frames);  // ten tracks asked, none there
  EXPECT_TRUE(none.no_best_laste_frame);
}

}  // namespace
}  // namespace pelk
