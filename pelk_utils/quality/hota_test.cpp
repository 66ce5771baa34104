#include "pelk_utils/quality/hota.hpp"

#include <cmath>

#include <gtest/gtest.h>

#include "pelk_utils/quality/tracking_measures.hpp"

namespace pelk {
namespace {

// Tracks of boxes: per frame, (key, left, top, right, bottom).
struct BoxAt {
  std::string key;
  ContinuousBox box;
};
using BoxFrames = std::vector<std::vector<BoxAt>>;

TrackSet boxes(const BoxFrames& frames) {
  TrackSet out;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    std::vector<TrackObject>& objects = out.frames[static_cast<std::int64_t>(f)];
    for (const BoxAt& b : frames[f]) objects.push_back({b.key, std::nullopt, b.box});
  }
  return out;
}

const ContinuousBox kLeft{0, 0, 10, 10}, kRight{50, 0, 60, 10}, kFar{100, 0, 110, 10};

// Hand-worked cases; every IoU is 1 or 0 unless said.
struct HotaCase {
  const char* name;
  BoxFrames tracked, truth;
  double hota, deta, assa, loca;
  friend void PrintTo(const HotaCase& c, std::ostream* os) { *os << c.name; }
};

class HotaTest : public ::testing::TestWithParam<HotaCase> {};

TEST_P(HotaTest, MatchesTheHandWorkedValues) {
  const HotaCase& c = GetParam();
  const TrackingMeasures m = evaluate_tracks(boxes(c.tracked), boxes(c.truth));
  EXPECT_TRUE(m.box_iou);
  EXPECT_NEAR(m.hota.hota, c.hota, 1e-12);
  EXPECT_NEAR(m.hota.deta, c.deta, 1e-12);
  EXPECT_NEAR(m.hota.assa, c.assa, 1e-12);
  EXPECT_NEAR(m.hota.loca, c.loca, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HotaTest,
    ::testing::Values(
        HotaCase{"perfect",
                 {{{"1", kLeft}, {"2", kRight}}, {{"1", kLeft}, {"2", kRight}}},
                 {{{"a", kLeft}, {"b", kRight}}, {{"a", kLeft}, {"b", kRight}}},
                 1, 1, 1, 1},
        // The tracked ids exchange animals after frame 1 of 4. Each truth id
        // meets each tracked id in 2 frames: alignment 2 / (4 + 4 - 2) = 1/3
        // for all four pairs, so each frame keeps its overlapping pairs: TP 8,
        // DetA 1; every pair matched twice: AssA = 4 x 2 x (2/6) / 8 = 1/3,
        // HOTA = sqrt(1/3).
        HotaCase{"identity_switch",
                 {{{"1", kLeft}, {"2", kRight}}, {{"1", kLeft}, {"2", kRight}},
                  {{"1", kRight}, {"2", kLeft}}, {{"1", kRight}, {"2", kLeft}}},
                 {{{"a", kLeft}, {"b", kRight}}, {{"a", kLeft}, {"b", kRight}},
                  {{"a", kLeft}, {"b", kRight}}, {{"a", kLeft}, {"b", kRight}}},
                 std::sqrt(1.0 / 3), 1, 1.0 / 3, 1},
        // The animal is missing from the tracks in 1 of 4 frames: TP 3, FN 1,
        // DetA 3/4; the pair matched 3 times of 4 + 3 - 3 = 4: AssA 3/4.
        HotaCase{"animal_missing_for_a_frame",
                 {{{"1", kLeft}}, {{"1", kLeft}}, {}, {{"1", kLeft}}},
                 {{{"a", kLeft}}, {{"a", kLeft}}, {{"a", kLeft}}, {{"a", kLeft}}},
                 0.75, 0.75, 0.75, 1},
        // A second tracked id appears once where no animal is: TP 2, FP 1,
        // DetA 2/3; AssA 2 x (2 / (2 + 2 - 2)) / 2 = 1: HOTA sqrt(2/3).
        HotaCase{"false_positive",
                 {{{"1", kLeft}, {"2", kFar}}, {{"1", kLeft}}},
                 {{{"a", kLeft}}, {{"a", kLeft}}},
                 std::sqrt(2.0 / 3), 2.0 / 3, 1, 1},
        // One animal followed by id 1 for 2 frames, then by id 2 for 2: TP 4,
        // DetA 1; each pair matched twice of 4 + 2 - 2: AssA = 2 x 2 x (2/4) / 4
        // = 1/2.
        HotaCase{"fragment",
                 {{{"1", kLeft}}, {{"1", kLeft}}, {{"2", kLeft}}, {{"2", kLeft}}},
                 {{{"a", kLeft}}, {{"a", kLeft}}, {{"a", kLeft}}, {{"a", kLeft}}},
                 std::sqrt(0.5), 1, 0.5, 1},
        // A box of IoU 0.62 (62 of 100 pixels, all inside the truth's): a true
        // positive at the 12 thresholds 0.05..0.60, nothing at the 7 above
        // (DetA 0, LocA 1 there); AssA 1 where matched.
        HotaCase{"localisation",
                 {{{"1", {0, 0, 10, 6.2}}}},
                 {{{"a", kLeft}}},
                 12.0 / 19, 12.0 / 19, 12.0 / 19, (12 * 0.62 + 7) / 19},
        // IoU exactly on a threshold counts there: 0.5 is a true positive at
        // the 10 thresholds 0.05..0.50 (the stored 0.5 is exact), ...
        HotaCase{"iou_on_the_0_50_threshold",
                 {{{"1", {0, 0, 10, 5}}}},
                 {{{"a", kLeft}}},
                 10.0 / 19, 10.0 / 19, 10.0 / 19, (10 * 0.5 + 9) / 19},
        // ... and 0.75 at the 15 thresholds 0.05..0.75, although the stored
        // 0.75 is 0.7500000000000001: the rounding allowance lies below it.
        HotaCase{"iou_on_the_0_75_threshold",
                 {{{"1", {0, 0, 10, 7.5}}}},
                 {{{"a", kLeft}}},
                 15.0 / 19, 15.0 / 19, 15.0 / 19, (15 * 0.75 + 4) / 19},
        // Nothing tracked: no detection, HOTA 0, LocA 1 by convention.
        HotaCase{"nothing_tracked", {{}, {}}, {{{"a", kLeft}}, {{"a", kLeft}}}, 0, 0, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HotaTest, ThresholdsAreNumpysArange) {
  EXPECT_EQ(hota_alpha(0), 0.05);
  EXPECT_DOUBLE_EQ(hota_alpha(kHotaThresholds - 1), 0.95);
  EXPECT_EQ(hota_alpha(2), 0.05 + 2 * 0.05);  // 0.15000000000000002, as the reference code compares
}

// The alignment score decides between two equally good boxes: truth a is
// followed by id 1 for three frames; in the fourth, ids 1 and 2 cover it
// equally (IoU 0.5 each); HOTA gives it to 1, its long-term partner.
TEST(HotaTest, AlignmentPrefersTheLongTermPartner) {
  const ContinuousBox twin_a{0, 0, 10, 20}, twin_b{0, -10, 10, 10};  // each IoU 0.5 with kLeft
  const TrackingMeasures m = evaluate_tracks(boxes({{{"1", kLeft}}, {{"1", kLeft}}, {{"1", kLeft}}, {{"2", twin_b}, {"1", twin_a}}}),
                                             boxes({{{"a", kLeft}}, {{"a", kLeft}}, {{"a", kLeft}}, {{"a", kLeft}}}));
  // At alpha <= 0.5 the fourth frame's match is (a, 1): a stays with one id.
  EXPECT_EQ(m.hota.tp[0], 4);
  EXPECT_EQ(m.hota.fp[0], 1);
  // Pair (a, 1) matched 4 times of 4 + 4 - 4: association 1 at the low thresholds.
  EXPECT_NEAR(m.hota.assa_at[0], 1.0, 1e-12);
}

// CLEAR MOT as the standard code counts it: a match carries over only from
// the previous frame with objects on both sides.
struct ClearCase {
  const char* name;
  BoxFrames tracked, truth;
  std::int64_t switches, matches;
  friend void PrintTo(const ClearCase& c, std::ostream* os) { *os << c.name; }
};

class ClearMotTest : public ::testing::TestWithParam<ClearCase> {};

TEST_P(ClearMotTest, CountsAsTheStandardTools) {
  const ClearCase& c = GetParam();
  const TrackingMeasures m = evaluate_tracks(boxes(c.tracked), boxes(c.truth));
  EXPECT_EQ(m.id_switches, c.switches);
  EXPECT_EQ(m.matches, c.matches);
}

// kNear overlaps kLeft with IoU 0.6 (60 / 100), kLeft itself with 1.
const ContinuousBox kNear{4, 0, 10, 10};

INSTANTIATE_TEST_SUITE_P(
    Cases, ClearMotTest,
    ::testing::Values(
        // Frame 1: 1 still passes (0.6), 2 fits better: 1 is kept, no switch.
        ClearCase{"kept_from_the_previous_frame",
                  {{{"1", kLeft}}, {{"1", kNear}, {"2", kLeft}}},
                  {{{"a", kLeft}}, {{"a", kLeft}}},
                  0, 2},
        // Frame 1 matches nothing (the only tracked box is far): the carry
        // is lost, frame 2 takes the better 2 and counts a switch from 1.
        ClearCase{"carry_lost_after_an_unmatched_frame",
                  {{{"1", kLeft}}, {{"3", kFar}}, {{"1", kNear}, {"2", kLeft}}},
                  {{{"a", kLeft}}, {{"a", kLeft}}, {{"a", kLeft}}},
                  1, 2},
        // Frame 1 has no tracked box at all: the reference code skips such a
        // frame without forgetting the previous matches, so 1 is kept.
        ClearCase{"carry_survives_a_frame_without_tracks",
                  {{{"1", kLeft}}, {}, {{"1", kNear}, {"2", kLeft}}},
                  {{{"a", kLeft}}, {{"a", kLeft}}, {{"a", kLeft}}},
                  0, 2},
        // IoU 1/3 is no match; IoU exactly 0.5 is one (IoU >= 0.5).
        ClearCase{"third_is_no_match",
                  {{{"1", {5, 0, 15, 10}}}}, {{{"a", {0, 0, 10, 10}}}}, 0, 0},
        ClearCase{"threshold_is_inclusive",
                  {{{"1", {0, 0, 10, 5}}}}, {{{"a", {0, 0, 10, 10}}}}, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Box IoU is computed on continuous coordinates, as the reference code does.
TEST(BoxIouTest, ContinuousCoordinates) {
  EXPECT_DOUBLE_EQ(box_iou({0, 0, 10, 10}, {5, 0, 15, 10}), 50.0 / 150);
  EXPECT_DOUBLE_EQ(box_iou({0, 0, 10, 10}, {0, 0, 10, 10}), 1.0);
  EXPECT_EQ(box_iou({0, 0, 10, 10}, {10, 0, 20, 10}), 0.0);  // touching: no area in common
  EXPECT_EQ(box_iou({0, 0, 0, 10}, {0, 0, 0, 10}), 0.0);     // no area: no overlap
}

// A mask and its box give the same IoU when the masks are rectangles.
TEST(BoxIouTest, RectangularMasksMeetAsTheirBoxes) {
  const cv::Size frame(40, 20);
  const auto rect = [&](cv::Rect r) { return Mask(frame, r, cv::Mat1b(r.size(), uchar{1})); };
  const Mask a = rect({0, 0, 10, 10}), b = rect({5, 0, 10, 10}), c = rect({2, 3, 7, 9});
  for (const auto& [x, y] : {std::pair{a, b}, std::pair{a, c}, std::pair{b, c}}) {
    EXPECT_DOUBLE_EQ(mask_iou(x, y), box_iou(continuous_box(x), continuous_box(y)));
  }
  TrackSet masks, only_boxes;
  masks.frames[0] = {{"a", a, continuous_box(a)}, {"b", c, continuous_box(c)}};
  only_boxes.frames[0] = {{"1", std::nullopt, continuous_box(b)}, {"2", std::nullopt, continuous_box(c)}};
  TrackSet boxes_of_masks = masks;
  for (TrackObject& o : boxes_of_masks.frames[0]) o.mask.reset();
  const TrackingMeasures by_mask = evaluate_tracks(masks, masks), by_box = evaluate_tracks(boxes_of_masks, masks);
  EXPECT_FALSE(by_mask.box_iou);
  EXPECT_TRUE(by_box.box_iou);
  EXPECT_DOUBLE_EQ(by_mask.hota.hota, by_box.hota.hota);
  EXPECT_DOUBLE_EQ(by_mask.mean_iou, by_box.mean_iou);
  const TrackingMeasures mixed = evaluate_tracks(only_boxes, masks);
  EXPECT_TRUE(mixed.box_iou);
  EXPECT_EQ(mixed.matches, 1);  // c meets c; b meets a with IoU 1/3
}

TEST(EvaluateTracksTest, FrameOffsetShiftsTheTrackedSide) {
  TrackSet tracked = boxes({{}, {{"1", kLeft}}, {{"1", kLeft}}});  // frames 0, 1, 2
  tracked.frames.erase(0);
  const TrackSet truth = boxes({{{"a", kLeft}}, {{"a", kLeft}}});  // frames 0, 1
  EXPECT_EQ(evaluate_tracks(tracked, truth).matches, 1);
  const TrackingMeasures shifted = evaluate_tracks(tracked, truth, {.frame_offset = -1});
  EXPECT_EQ(shifted.matches, 2);
  EXPECT_EQ(shifted.frames, 2);
  EXPECT_DOUBLE_EQ(shifted.hota.hota, 1.0);
}

}  // namespace
}  // namespace pelk
