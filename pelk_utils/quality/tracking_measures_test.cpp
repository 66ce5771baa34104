#include "pelk_utils/quality/tracking_measures.hpp"

#include <cmath>

#include <gtest/gtest.h>

namespace pelk {
namespace {

const cv::Size kFrame(100, 40);

// An animal: a 10 x 10 square at column x (row 10), or any rectangle.
Mask animal(int x) { return Mask(kFrame, cv::Rect(x, 10, 10, 10), cv::Mat1b(10, 10, uchar{1})); }
Mask rect(cv::Rect r) { return Mask(kFrame, r, cv::Mat1b(r.size(), uchar{1})); }

// One frame: box key -> mask.
using Frame = std::vector<std::pair<std::string, Mask>>;

ClipAnnotationData clip(const std::vector<Frame>& frames) {
  ClipAnnotationData out;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    FrameRecord r;
    r.frame_index = static_cast<std::int64_t>(f);
    for (const auto& [key, mask] : frames[f]) r.masks_dict.insert_or_assign(key, mask);
    out.emplace(static_cast<int>(f), r);
  }
  return out;
}

// Small cases whose measures are worked out by hand in the comments.
struct MeasureCase {
  const char* name;
  std::vector<Frame> tracked, truth;
  std::int64_t misses, false_positives, switches;
  double mota, idf1, id_precision, id_recall, mean_iou;
  friend void PrintTo(const MeasureCase& c, std::ostream* os) { *os << c.name; }
};

class TrackingMeasuresTest : public ::testing::TestWithParam<MeasureCase> {};

TEST_P(TrackingMeasuresTest, MatchesTheHandWorkedValues) {
  const MeasureCase& c = GetParam();
  const TrackingMeasures m = evaluate_tracking(clip(c.tracked), clip(c.truth));
  EXPECT_EQ(m.misses, c.misses);
  EXPECT_EQ(m.false_positives, c.false_positives);
  EXPECT_EQ(m.id_switches, c.switches);
  EXPECT_NEAR(m.mota, c.mota, 1e-12);
  EXPECT_NEAR(m.idf1, c.idf1, 1e-12);
  EXPECT_NEAR(m.id_precision, c.id_precision, 1e-12);
  EXPECT_NEAR(m.id_recall, c.id_recall, 1e-12);
  if (std::isnan(c.mean_iou)) {
    EXPECT_TRUE(std::isnan(m.mean_iou)) << m.mean_iou;  // no match: nothing to average
  } else {
    EXPECT_NEAR(m.mean_iou, c.mean_iou, 1e-12);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrackingMeasuresTest,
    ::testing::Values(
        // Two animals, three frames, all kept: nothing wrong.
        MeasureCase{"perfect",
                    {{{"Box0", animal(0)}, {"Box1", animal(50)}}, {{"Box0", animal(2)}, {"Box1", animal(52)}},
                     {{"Box0", animal(4)}, {"Box1", animal(54)}}},
                    {{{"A", animal(0)}, {"B", animal(50)}}, {{"A", animal(2)}, {"B", animal(52)}},
                     {{"A", animal(4)}, {"B", animal(54)}}},
                    0, 0, 0, 1.0, 1.0, 1.0, 1.0, 1.0},
        // The two keys exchange animals after frame 1: every truth mask is
        // matched (FN = FP = 0), A and B each switch once (IDSW = 2), MOTA =
        // 1 - 2/8. Each key covers each animal for 2 of its 4 frames, so the
        // best identity pairing keeps 4 of 8: IDF1 = IDP = IDR = 0.5.
        MeasureCase{"swap_in_the_middle",
                    {{{"Box0", animal(0)}, {"Box1", animal(50)}}, {{"Box0", animal(0)}, {"Box1", animal(50)}},
                     {{"Box0", animal(50)}, {"Box1", animal(0)}}, {{"Box0", animal(50)}, {"Box1", animal(0)}}},
                    {{{"A", animal(0)}, {"B", animal(50)}}, {{"A", animal(0)}, {"B", animal(50)}},
                     {{"A", animal(0)}, {"B", animal(50)}}, {{"A", animal(0)}, {"B", animal(50)}}},
                    0, 0, 2, 0.75, 0.5, 0.5, 0.5, 1.0},
        // The tracker loses the animal in the last of four frames: FN = 1,
        // MOTA = 1 - 1/4; IDTP = 3, IDFN = 1, IDFP = 0: IDF1 = 6/7, IDR = 3/4.
        MeasureCase{"miss",
                    {{{"Box0", animal(0)}}, {{"Box0", animal(0)}}, {{"Box0", animal(0)}}, {}},
                    {{{"A", animal(0)}}, {{"A", animal(0)}}, {{"A", animal(0)}}, {{"A", animal(0)}}},
                    1, 0, 0, 0.75, 6.0 / 7.0, 1.0, 0.75, 1.0},
        // A second key appears where there is no animal in frame 1: FP = 1,
        // MOTA = 1 - 1/2; IDTP = 2, IDFP = 1: IDF1 = 4/5, IDP = 2/3.
        MeasureCase{"false_positive",
                    {{{"Box0", animal(0)}}, {{"Box0", animal(0)}, {"Box1", animal(70)}}},
                    {{{"A", animal(0)}}, {{"A", animal(0)}}},
                    0, 1, 0, 0.5, 0.8, 2.0 / 3.0, 1.0, 1.0},
        // One animal followed by Box0 for two frames, then by Box1: one
        // switch, MOTA = 1 - 1/4; IDTP = 2, IDFP = 2, IDFN = 2: IDF1 = 0.5.
        MeasureCase{"fragmented_identity",
                    {{{"Box0", animal(0)}}, {{"Box0", animal(0)}}, {{"Box1", animal(0)}}, {{"Box1", animal(0)}}},
                    {{{"A", animal(0)}}, {{"A", animal(0)}}, {{"A", animal(0)}}, {{"A", animal(0)}}},
                    0, 0, 1, 0.75, 0.5, 0.5, 0.5, 1.0},
        // Half a square off (IoU 50/150 = 1/3 < 0.5): no match, one miss and
        // one false positive, MOTA = 1 - 2/1; a 10 x 8 mask on a 10 x 10 one
        // matches with IoU 0.8.
        MeasureCase{"low_overlap_is_no_match",
                    {{{"Box0", animal(5)}}}, {{{"A", animal(0)}}}, 1, 1, 0, -1.0, 0.0, 0.0, 0.0, NAN},
        // CLEAR MOT keeps the previous match while it still reaches the
        // threshold: A stays with Box0 (IoU 80/120) although Box1 covers it
        // exactly; Box1 is a false positive, no switch: MOTA = 1 - 1/2.
        // IDF1: A-Box0 share 2 frames, so IDTP = 2, IDFP = 1: 4/5.
        MeasureCase{"previous_match_is_kept",
                    {{{"Box0", animal(0)}}, {{"Box0", animal(2)}, {"Box1", animal(0)}}},
                    {{{"A", animal(0)}}, {{"A", animal(0)}}},
                    0, 1, 0, 0.5, 0.8, 2.0 / 3.0, 1.0, (1.0 + 80.0 / 120.0) / 2},
        // Two animals lying exactly on each other in frame 1, tracked as two
        // identical masks: the tie keeps both identities, no switch.
        MeasureCase{"identical_masks_keep_identities",
                    {{{"Box0", animal(0)}, {"Box1", animal(50)}}, {{"Box0", animal(20)}, {"Box1", animal(20)}},
                     {{"Box0", animal(0)}, {"Box1", animal(50)}}},
                    {{{"A", animal(0)}, {"B", animal(50)}}, {{"A", animal(20)}, {"B", animal(20)}},
                     {{"A", animal(0)}, {"B", animal(50)}}},
                    0, 0, 0, 1.0, 1.0, 1.0, 1.0, 1.0},
        MeasureCase{"partial_mask_iou",
                    {{{"Box0", rect({0, 10, 10, 8})}}}, {{{"A", animal(0)}}}, 0, 0, 0, 1.0, 1.0, 1.0, 1.0, 0.8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrackingMeasuresTableTest, SaysWhichIdentityAnAnimalWasTrackedUnder) {
  // A is followed by Box0 for three frames and by Box1 (B's key) for one.
  const std::vector<Frame> tracked = {{{"Box0", animal(0)}, {"Box1", animal(50)}},
                                      {{"Box0", animal(0)}, {"Box1", animal(50)}},
                                      {{"Box0", animal(0)}, {"Box1", animal(50)}},
                                      {{"Box1", animal(0)}}};
  const std::vector<Frame> truth = {{{"A", animal(0)}, {"B", animal(50)}}, {{"A", animal(0)}, {"B", animal(50)}},
                                    {{"A", animal(0)}, {"B", animal(50)}}, {{"A", animal(0)}}};
  const TrackingMeasures m = evaluate_tracking(clip(tracked), clip(truth));
  ASSERT_EQ(m.identities.size(), 2u);
  const IdentityRecord& a = m.identities[0];
  EXPECT_EQ(a.truth_box, "A");
  EXPECT_EQ(a.frames, 4);
  EXPECT_EQ(a.tracked, 4);
  EXPECT_EQ(a.assigned_box, "Box0");
  EXPECT_EQ(a.own_identity, 3);
  EXPECT_EQ(a.other_identity, 1);
  EXPECT_EQ(a.most_other_box, "Box1");
  EXPECT_EQ(m.identities[1].assigned_box, "Box1");
  EXPECT_EQ(m.identities[1].other_identity, 0);
  EXPECT_EQ(m.id_switches, 1);
}

TEST(TrackingMeasuresTableTest, DifferentFrameSetsAreRefusedWhenStrict) {
  const ClipAnnotationData two = clip({{{"Box0", animal(0)}}, {{"Box0", animal(0)}}});
  const ClipAnnotationData one = clip({{{"A", animal(0)}}});
  try {
    evaluate_tracking(two, one, 0.5, true);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("frame 1 is tracked but has no truth"), std::string::npos) << e.what();
  }
  EXPECT_THROW(evaluate_tracking(one, two, 0.5, true), std::invalid_argument);
}

// Truth frames 0, 1, 2 hold A and B. The tracker wrote frames 0, 1 and 3:
// frame 2 is missing (A and B missed), frame 3 has no truth (its Box0 is a
// false positive), and Box2 in frame 0 follows nothing.
//   GT 6, tracked 6, matches 4: misses 2, FP 2, MOTA 1 - 4/6.
//   IDTP 4 (A-Box0 2, B-Box1 2), IDFN 2, IDFP 2: IDF1 8/12, IDP 4/6, IDR 4/6.
TEST(TrackingMeasuresTableTest, MissingAndExtraFramesCountAsMissesAndFalsePositives) {
  ClipAnnotationData truth = clip({{{"A", animal(0)}, {"B", animal(50)}}, {{"A", animal(0)}, {"B", animal(50)}},
                                   {{"A", animal(0)}, {"B", animal(50)}}});
  ClipAnnotationData tracked = clip({{{"Box0", animal(0)}, {"Box1", animal(50)}, {"Box2", animal(80)}},
                                     {{"Box0", animal(0)}, {"Box1", animal(50)}},
                                     {{"Box0", animal(0)}}});
  tracked.at(2).frame_index = 3;
  const TrackingMeasures m = evaluate_tracking(tracked, truth);
  EXPECT_EQ(m.frames, 4);
  EXPECT_EQ(m.missing_frames, 1);
  EXPECT_EQ(m.extra_frames, 1);
  EXPECT_EQ(m.misses, 2);
  EXPECT_EQ(m.false_positives, 2);
  EXPECT_NEAR(m.mota, 1 - 4.0 / 6, 1e-12);
  EXPECT_NEAR(m.idf1, 8.0 / 12, 1e-12);
  EXPECT_NEAR(m.id_precision, 4.0 / 6, 1e-12);
  EXPECT_NEAR(m.id_recall, 4.0 / 6, 1e-12);
  // The per-identity counts add up to the clip's.
  ASSERT_EQ(m.identities.size(), 2u);
  EXPECT_EQ(m.identities[0].idtp, 2);
  EXPECT_EQ(m.identities[0].idfn, 1);
  EXPECT_EQ(m.identities[0].idfp, 1);  // Box0 in frame 3
  EXPECT_EQ(m.identities[1].idfp, 0);
  ASSERT_EQ(m.unpaired_tracked.size(), 1u);
  EXPECT_EQ(m.unpaired_tracked[0].box, "Box2");
  std::int64_t idtp = 0, idfn = 0, idfp = m.unpaired_tracked[0].frames;
  for (const IdentityRecord& r : m.identities) idtp += r.idtp, idfn += r.idfn, idfp += r.idfp;
  EXPECT_EQ(idtp, m.idtp);
  EXPECT_EQ(idfn, m.idfn);
  EXPECT_EQ(idfp, m.idfp);
}

TEST(TrackingMeasuresTableTest, NothingToAverageIsNotANumber) {
  const TrackingMeasures none = evaluate_tracking(clip({{}}), clip({{}}));
  EXPECT_TRUE(std::isnan(none.idf1) && std::isnan(none.mota) && std::isnan(none.mean_iou));
  // Animals but no match: IDF1 is a true 0, the mean IoU has nothing to average.
  const TrackingMeasures apart = evaluate_tracking(clip({{{"Box0", animal(0)}}}), clip({{{"A", animal(50)}}}));
  EXPECT_EQ(apart.idf1, 0.0);
  EXPECT_TRUE(std::isnan(apart.mean_iou));
}

// The optimal assignment beats the greedy one: taking 0.9 first would leave
// row 1 only 0.1, below the minimum.
TEST(BestAssignmentTest, MaximisesTheTotalAboveTheMinimum) {
  EXPECT_EQ(best_assignment({{0.9, 0.8}, {0.85, 0.1}}, 0.5), (std::vector<int>{1, 0}));
  EXPECT_EQ(best_assignment({{0.9, 0.8, 0.7}}, 0.5), (std::vector<int>{0}));
  EXPECT_EQ(best_assignment({{0.4}, {0.6}, {0.3}}, 0.5), (std::vector<int>{-1, 0, -1}));
  EXPECT_EQ(best_assignment({{0.6, 0.6}}, 0.5), (std::vector<int>{0}));  // ties: the earlier column
  EXPECT_TRUE(best_assignment({}, 0.5).empty());
  EXPECT_EQ(best_assignment({{}, {}}, 0.5), (std::vector<int>{-1, -1}));
}

// Equal scores: each row in turn takes the earliest column it can; a row is
// left out only when every best assignment leaves it out.
TEST(BestAssignmentTest, TiesGoToTheEarlierRowThenTheEarlierColumn) {
  EXPECT_EQ(best_assignment({{0.8}, {0.8}}, 0.5), (std::vector<int>{0, -1}));
  EXPECT_EQ(best_assignment({{0.6, 0.8}, {0.6, 0.8}}, 0.5), (std::vector<int>{0, 1}));
  EXPECT_EQ(best_assignment({{0.6, 0.6, 0.0}, {0.6, 0.0, 0.6}}, 0.5), (std::vector<int>{0, 2}));
  EXPECT_EQ(best_assignment({{0.8}, {0.8}, {0.8}}, 0.5), (std::vector<int>{0, -1, -1}));
  EXPECT_EQ(best_assignment({{0.0, 0.8}, {0.0, 0.8}}, 0.5), (std::vector<int>{1, -1}));
  // Three best assignments of 1.6: the first row takes column 0, the second column 1.
  EXPECT_EQ(best_assignment({{0.7, 0.0}, {0.7, 0.9}, {0.0, 0.9}}, 0.5), (std::vector<int>{0, 1, -1}));
  // Taking the shared column would lower the total: the first row takes the other.
  EXPECT_EQ(best_assignment({{0.7, 0.6}, {0.7, 0.0}}, 0.5), (std::vector<int>{1, 0}));
}

// The tie rule decides identity switches: truth a and b lie on one spot in
// frame 0, tracked 1 and 2 over it with IoU 0.6 and 0.8 with each. Both
// pairings total 1.4; a, the earlier truth box, takes 1, the earlier tracked
// box. In frame 1 the animals part, a under 1 and b under 2: no switch (the
// other pairing would count two).
TEST(ClearMotTieTest, TheEarlierTruthBoxTakesTheEarlierTrackedBoxOnATie) {
  TrackSet tracked, truth;
  truth.frames[0] = {{"a", std::nullopt, ContinuousBox{0, 0, 10, 10}}, {"b", std::nullopt, ContinuousBox{0, 0, 10, 10}}};
  tracked.frames[0] = {{"1", std::nullopt, ContinuousBox{0, 0, 10, 6}}, {"2", std::nullopt, ContinuousBox{0, 0, 10, 8}}};
  truth.frames[1] = {{"a", std::nullopt, ContinuousBox{0, 0, 10, 10}}, {"b", std::nullopt, ContinuousBox{50, 0, 60, 10}}};
  tracked.frames[1] = {{"1", std::nullopt, ContinuousBox{0, 0, 10, 10}}, {"2", std::nullopt, ContinuousBox{50, 0, 60, 10}}};
  const TrackingMeasures m = evaluate_tracks(tracked, truth);
  EXPECT_EQ(m.id_switches, 0);
  EXPECT_DOUBLE_EQ(m.mota, 1.0);
}

}  // namespace
}  // namespace pelk
