#include "pelk_utils/matching/overlap_resolution.hpp"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/models/testing/fake_models.hpp"
#include "pelk_utils/models/testing/test_encoder.hpp"

namespace pelk {
namespace {
using testing::CoutCapture;

const cv::Size kFrame(160, 90);

Mask rect_mask(cv::Rect r) {
  cv::Mat1b m = cv::Mat1b::zeros(kFrame);
  m(r).setTo(1);
  return Mask(m);
}

std::vector<ReportRow> rows(const std::string& pair, int from, int to) {
  std::vector<ReportRow> out;
  for (std::int64_t f = from; f <= to; ++f) {  // 64 bits: `to` may be the largest int
    ReportRow r;
    r.frame_id = static_cast<int>(f);
    r.box_pair = pair;
    r.report_type = "High Intersection";
    out.push_back(r);
  }
  return out;
}

std::vector<ReportRow> operator+(std::vector<ReportRow> a, const std::vector<ReportRow>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class OverlapResolutionTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    cv::Mat3b background(kFrame);
    cv::theRNG().state = 42;
    cv::randu(background, 0, 255);
    image_ = path("frame.png");
    cv::imwrite(image_, background);
    predictor_.encoder = &encoder_;
  }
  // A clip of `frames` frames: Box0 and Box2 stay put; Box1 jumps far away
  // from frame `jump` on; Box2 is tiny (5 pixels) when `tiny_box2`.
  ClipAnnotationData clip(int frames, int jump, bool tiny_box2 = false) {
    ClipAnnotationData data;
    for (int f = 0; f < frames; ++f) {
      FrameRecord r;
      r.frame_index = f;
      r.image_path = image_;
      r.masks_dict.insert_or_assign("Box0", rect_mask({10, 10, 30, 30}));
      r.masks_dict.insert_or_assign("Box1", rect_mask(f < jump ? cv::Rect(50, 10, 30, 30) : cv::Rect(110, 50, 30, 30)));
      r.masks_dict.insert_or_assign("Box2", rect_mask(tiny_box2 ? cv::Rect(20, 70, 5, 1) : cv::Rect(20, 50, 20, 20)));
      data.emplace(f, r);
    }
    return data;
  }
  std::string image_;
  testing::GridStatsEncoder encoder_;
  testing::FakePredictor predictor_;
};

TEST_F(OverlapResolutionTest, VotesForTheBoxThatJumpedBeforeTheEpisode) {
  CoutCapture cap;
  const OverlapResolution r = process_overlap_frames(rows("Box0-Box1", 6, 9), clip(14, 7), predictor_);
  ASSERT_EQ(r.test_frame, 6);
  EXPECT_EQ(r.worst_boxes, std::vector<std::string>(5, "Box1"));  // frames 1..5 against frame 7
  EXPECT_EQ(r.most_frequent_box, "Box1");
  EXPECT_EQ(r.con_frames_dict.size(), 1u);
  EXPECT_NE(cap.text().find("Box Pair: Box0-Box1\nFirst frame with a single boxpair: 6\n"
                            "First frame with multiple boxpairs: nan\nreverse_track: False\n"),
            std::string::npos)
      << cap.text();
  EXPECT_NE(cap.text().find("Most frequent box with errors: Box1\n"), std::string::npos);
  EXPECT_EQ(encoder_.calls, 5 * 4);  // two boxes on two sides per compared frame
  EXPECT_EQ(r.test_boxes, (std::vector<std::string>{"Box0", "Box1"}));
  EXPECT_EQ(r.reference_frame, 7);
  ASSERT_EQ(r.frame_scores.size(), 5u);
  for (const FrameMismatch& f : r.frame_scores) {
    EXPECT_LT(f.mismatch_scores[0], 0.1) << f.frame;  // Box0 did not move
    EXPECT_GE(f.mismatch_scores[1], 2.0) << f.frame;  // Box1 jumped: no mask or box overlap
  }
  EXPECT_EQ(r.frame_scores.front().frame, 1);
}

TEST_F(OverlapResolutionTest, EpisodeAtTheClipStartLooksForward) {
  CoutCapture cap;
  // Rows from frame 0: the last single frame, 3, becomes the test frame; frames
  // 3..7 are compared with frame 2.
  const OverlapResolution r = process_overlap_frames(rows("Box0-Box1", 0, 3), clip(14, 3), predictor_);
  EXPECT_EQ(r.test_frame, 3);
  EXPECT_NE(cap.text().find("reverse_track: True"), std::string::npos);
  EXPECT_EQ(r.worst_boxes, std::vector<std::string>(5, "Box1"));
}

TEST_F(OverlapResolutionTest, BothDirectionsNeedLongerRuns) {
  CoutCapture cap;
  const auto short_both = rows("Box0-Box1", 6, 8) + rows("Box1-Box0", 6, 8);
  const OverlapResolution r = process_overlap_frames(short_both, clip(14, 7), predictor_);
  EXPECT_TRUE(r.con_frames_dict.empty());  // 3 frames < 2 + 2
  EXPECT_FALSE(r.test_frame);
  EXPECT_FALSE(r.most_frequent_box);
  EXPECT_NE(cap.text().find("No overlap episode"), std::string::npos);

  const auto long_both = rows("Box0-Box1", 6, 9) + rows("Box1-Box0", 6, 9);
  const OverlapResolution r2 = process_overlap_frames(long_both, clip(14, 7), predictor_);
  EXPECT_EQ(r2.test_frame, 6);  // first frame with multiple rows
  EXPECT_NE(cap.text().find("First frame with a single boxpair: nan\nFirst frame with multiple boxpairs: 6"),
            std::string::npos);
  EXPECT_EQ(r2.most_frequent_box, "Box1");
}

TEST_F(OverlapResolutionTest, WindowFramesOutsideTheClipAreSkipped) {
  CoutCapture cap;
  // Test frame 3 without reverse: window -2..2, so only frames 0..2 vote.
  EXPECT_EQ(process_overlap_frames(rows("Box0-Box1", 3, 6), clip(14, 4), predictor_).worst_boxes.size(), 3u);
  // The reference frame beyond the clip: nothing votes.
  const OverlapResolution none = process_overlap_frames(rows("Box0-Box1", 6, 9), clip(7, 7), predictor_);
  EXPECT_EQ(none.test_frame, 6);
  EXPECT_TRUE(none.worst_boxes.empty());
  EXPECT_FALSE(none.most_frequent_box);
  EXPECT_NE(cap.text().find("no box was voted"), std::string::npos);
}

TEST_F(OverlapResolutionTest, BoxWithoutFeatureIsTheWorst) {
  CoutCapture cap;
  const OverlapResolution r = process_overlap_frames(rows("Box0-Box2", 6, 9), clip(14, 99, true), predictor_);
  EXPECT_EQ(r.worst_boxes, std::vector<std::string>(5, "Box2"));
}

TEST_F(OverlapResolutionTest, MissingBoxIsAClearError) {
  ClipAnnotationData data = clip(14, 7);
  data.at(3).masks_dict.erase("Box1");
  CoutCapture cap;
  EXPECT_THROW(process_overlap_frames(rows("Box0-Box1", 6, 9), data, predictor_), std::out_of_range);
}

TEST_F(OverlapResolutionTest, GapInTheFrameKeysNamesTheKeyAndItsNeighbours) {
  ClipAnnotationData data = clip(14, 7);
  data.at(2).json_path = "ann/output_pp_2.json";
  data.at(4).json_path = "ann/output_pp_4.json";
  data.erase(3);  // an annotation file missing from the clip
  CoutCapture cap;
  try {
    process_overlap_frames(rows("Box0-Box1", 6, 9), data, predictor_);
    FAIL() << "expected an error";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(),
                 "the clip has no frame key 3, which the comparison window needs (an annotation file missing from the "
                 "clip?); the frame before it is key 2 ('ann/output_pp_2.json'); the frame after it is key 4 "
                 "('ann/output_pp_4.json')");
  }
}

// Frame keys and run lengths at the ends of the int range: the window
// arithmetic (test frame - 5, + 1, run length + 2) must not overflow.
struct ExtremeCase {
  const char* name;
  std::vector<ReportRow> rows;
  int n_consecutive;
  std::optional<int> test_frame;
  std::optional<std::int64_t> reference_frame;
  friend void PrintTo(const ExtremeCase& c, std::ostream* os) { *os << c.name; }
};

class OverlapExtremesTest : public OverlapResolutionTest, public ::testing::WithParamInterface<ExtremeCase> {};

TEST_P(OverlapExtremesTest, WindowsAreComputedWithoutOverflow) {
  CoutCapture cap;
  const OverlapResolution r = process_overlap_frames(GetParam().rows, clip(14, 7), predictor_, GetParam().n_consecutive);
  EXPECT_EQ(r.test_frame, GetParam().test_frame);
  EXPECT_EQ(r.reference_frame, GetParam().reference_frame);
  EXPECT_FALSE(r.most_frequent_box);
  EXPECT_TRUE(r.worst_boxes.empty());
  EXPECT_EQ(encoder_.calls, 0);
}

constexpr int kMax = std::numeric_limits<int>::max(), kMin = std::numeric_limits<int>::min();

INSTANTIATE_TEST_SUITE_P(
    Extremes, OverlapExtremesTest,
    ::testing::Values(
        ExtremeCase{"last_int_frame", rows("Box0-Box1", kMax, kMax), 1, kMax, std::int64_t{kMax} + 1},
        ExtremeCase{"first_int_frame", rows("Box0-Box1", kMin, kMin), 1, kMin, std::int64_t{kMin} + 1},
        ExtremeCase{"longest_run_two_pairs", rows("Box0-Box1", 6, 9) + rows("Box1-Box2", 6, 9), kMax, std::nullopt,
                    std::nullopt},
        ExtremeCase{"negative_run_length", rows("Box0-Box1", 30, 30), kMin, 30, 31}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoxIouTest, EdgeCoordinatesWithoutWidening) {
  EXPECT_NEAR(bb_iou({0, 0, 10, 10}, {0, 0, 10, 10}), 1.0, 1e-8);
  EXPECT_EQ(bb_iou({0, 0, 10, 10}, {10, 0, 20, 10}), 0.0);
  EXPECT_NEAR(bb_iou({0, 0, 10, 10}, {5, 0, 15, 10}), 50.0 / 150.0, 1e-8);
  EXPECT_EQ(bb_iou({0, 0, 0, 0}, {0, 0, 0, 0}), 0.0);  // empty masks' boxes
}

TEST(VoteTest, FirstEnteredWinsTies) {
  EXPECT_EQ(most_frequent_entry({"Box2", "Box5", "Box5", "Box2"}), "Box2");
  EXPECT_EQ(most_frequent_entry({"Box2", "Box5", "Box5"}), "Box5");
  EXPECT_THROW(most_frequent_entry({}), std::invalid_argument);
}

}  // namespace
}  // namespace pelk
