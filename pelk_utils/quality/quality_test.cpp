#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/quality/frame_runs.hpp"
#include "pelk_utils/quality/small_area_boxes.hpp"
#include "pelk_utils/quality/tracking_report.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::CoutCapture;

struct RoundCase {
  double in, out;
};

class Round2Test : public ::testing::TestWithParam<RoundCase> {};

TEST_P(Round2Test, RoundsLikePython) { EXPECT_EQ(round2(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(Values, Round2Test,
                         ::testing::Values(RoundCase{2.675, 2.67}, RoundCase{0.125, 0.12}, RoundCase{0.375, 0.38},
                                           RoundCase{0.135, 0.14}, RoundCase{90.0, 90.0},
                                           RoundCase{100.0 * 6 / 7, 85.71}, RoundCase{-1.005, -1.0}));

// A frame of named rectangles on a 40 x 40 raster; an empty rectangle is a
// vanished mask.
FrameRecord frame(const std::vector<std::pair<std::string, cv::Rect>>& boxes, bool with_table = true) {
  FrameRecord r;
  for (const auto& [key, rect] : boxes) {
    cv::Mat1b m = cv::Mat1b::zeros(40, 40);
    if (!rect.empty()) m(rect).setTo(1);
    r.masks_dict.insert_or_assign(key, Mask(m));
  }
  r.mask_areas = mask_areas(r.masks_dict);
  if (with_table) r.intersections_df = intersection_between_masks(r.masks_dict, r.mask_areas);
  return r;
}

class TrackingReportTest : public testing::ScratchDirTest {
 protected:
  std::string csv() const {
    std::ifstream in(dir_ / kReportFileName);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

TEST_F(TrackingReportTest, NothingToReportPrintsAndWritesNothing) {
  ClipAnnotationData clip;
  clip[0] = frame({{"Box0", {0, 0, 10, 10}}, {"Box1", {8, 0, 10, 10}}});  // 20 % overlap
  // Exactly 80 percent is not above the default threshold.
  clip[1] = frame({{"Box0", {0, 0, 10, 10}}, {"Box1", {2, 0, 10, 10}}});
  CoutCapture cap;
  const TrackingReport r = generate_tracking_report(clip, dir_.string());
  EXPECT_TRUE(r.overlap_frames_data.empty() && r.zero_area_frames.empty() && r.overlap_frames.empty() &&
              r.box_keys_df.empty());
  EXPECT_EQ(cap.text(), "");
  EXPECT_FALSE(fs::exists(dir_ / kReportFileName));
}

TEST_F(TrackingReportTest, WritesOverlapRowsThenZeroAreaRows) {
  ClipAnnotationData clip;
  clip[0] = frame({{"Box0", {0, 0, 10, 10}}, {"Box1", {}}});              // zero area only
  clip[1] = frame({{"BoxA", {0, 0, 10, 10}}, {"BoxB", {0, 0, 10, 9}}});   // B inside A: 90 % and 100 %
  clip[2] = frame({{"Box0", {20, 20, 5, 5}}, {"Box1", {}}, {"Box2", {0, 0, 7, 1}}, {"Box3", {0, 0, 7, 1}}});
  CoutCapture cap;
  const TrackingReport r = generate_tracking_report(clip, dir_.string());
  EXPECT_EQ(r.overlap_frames, (std::vector<int>{1, 2}));
  ASSERT_EQ(r.overlap_frames_data.size(), 4u);
  EXPECT_EQ(r.overlap_frames_data[0].box_pair, "BoxA-BoxB");
  EXPECT_EQ(r.overlap_frames_data[0].intersection_value, 90.0);
  EXPECT_EQ(r.overlap_frames_data[1].box_pair, "BoxB-BoxA");
  EXPECT_EQ(r.box_keys_df.size(), 2u);
  EXPECT_EQ(r.box_keys_df[0].box_pair, "Box2-Box3");
  ASSERT_EQ(r.zero_area_frames.size(), 2u);
  EXPECT_EQ(r.zero_area_frames[1].frame_id, 2);
  const std::string path = (dir_ / kReportFileName).string();
  EXPECT_EQ(cap.text(), "Generating tracking question report...\n\nTracking question report saved to " + path + "\n");
  EXPECT_EQ(csv(),
            "Frame ID,Box Pair,Intersection Value,Mask Area1,Mask Area2,Report type,Box ID,Mask Areas\n"
            "1,BoxA-BoxB,90.0,100,90,High overlap mask detected,,\n"
            "1,BoxB-BoxA,100.0,90,100,High overlap mask detected,,\n"
            "2,Box2-Box3,100.0,7,7,High overlap mask detected,,\n"
            "2,Box3-Box2,100.0,7,7,High overlap mask detected,,\n"
            "0,,,,,Zero area detected,Box1,0\n"
            "2,,,,,Zero area detected,Box1,0\n");
}

TEST_F(TrackingReportTest, SingleFileDataIsRejectedBeforePrinting) {
  ClipAnnotationData clip;
  clip[3] = frame({{"Box0", {}}}, false);
  CoutCapture cap;
  EXPECT_THROW(generate_tracking_report(clip, dir_.string()), std::out_of_range);
  EXPECT_EQ(cap.text(), "");
}

TEST_F(TrackingReportTest, UnwritableFolderFails) {
  ClipAnnotationData clip;
  clip[0] = frame({{"Box0", {}}});
  CoutCapture cap;
  EXPECT_THROW(generate_tracking_report(clip, (dir_ / "missing").string()), std::runtime_error);
}

ReportRow row(int frame_id, const std::string& pair) {
  ReportRow r;
  r.frame_id = frame_id;
  r.box_pair = pair;
  r.report_type = kHighOverlap;
  return r;
}

struct RunsCase {
  const char* name;
  std::vector<int> frames;
  int n;
  std::vector<std::vector<int>> runs;
};

class ContinuousFramesTest : public ::testing::TestWithParam<RunsCase> {};

TEST_P(ContinuousFramesTest, Splits) {
  std::vector<ReportRow> rows;
  for (int f : GetParam().frames) rows.push_back(row(f, "Box0-Box1"));
  const FrameRuns runs = find_continuous_frames(rows, "Box Pair", GetParam().n);
  if (GetParam().runs.empty()) {
    EXPECT_TRUE(runs.empty());
  } else {
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs.at(std::string("Box0-Box1")), GetParam().runs);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ContinuousFramesTest,
    ::testing::Values(RunsCase{"keeps_long_runs", {3, 4, 5, 7, 8}, 3, {{3, 4, 5}}},
                      RunsCase{"shorter_minimum", {3, 4, 5, 7, 8}, 2, {{3, 4, 5}, {7, 8}}},
                      RunsCase{"duplicate_breaks_run", {5, 5, 6, 7}, 1, {{5}, {5, 6, 7}}},
                      RunsCase{"unsorted_input", {9, 7, 8}, 3, {{7, 8, 9}}},
                      RunsCase{"none_long_enough", {1, 3, 5}, 2, {}}, RunsCase{"empty", {}, 3, {}},
                      RunsCase{"zero_keeps_all", {4, 2}, 0, {{2}, {4}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContinuousFramesGroupTest, GroupsInPlainCharacterOrderAndSkipsMissing) {
  std::vector<ReportRow> rows;
  for (int f : {1, 2, 3}) {
    ReportRow r;
    r.frame_id = f;
    r.box_id = "Box2";
    rows.push_back(r);
    r.box_id = "Box10";
    rows.push_back(r);
  }
  rows.push_back(row(1, "Box0-Box1"));  // no "Box ID": in no group
  const FrameRuns runs = find_continuous_frames(rows);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(std::get<std::string>(runs.begin()->first), "Box10");
  EXPECT_THROW(find_continuous_frames(rows, "No Such Column"), std::out_of_range);
}

ClipAnnotationData areas_clip(int frames, const std::vector<std::pair<std::string, std::vector<int>>>& small_in) {
  ClipAnnotationData clip;
  for (int k = 0; k < frames; ++k) {
    FrameRecord r;
    for (const auto& [key, small_frames] : small_in) {
      const bool small = std::find(small_frames.begin(), small_frames.end(), k) != small_frames.end();
      r.mask_areas.insert_or_assign(key, small ? 100 : 101);
    }
    clip[k] = std::move(r);
  }
  return clip;
}

std::vector<int> range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}

TEST(SmallAreaBoxesTest, BoundariesAndFirstSeenOrder) {
  // Box1: small (== threshold) in frames 501..601 (101 frames); Box0 in 500..600
  // where frame 500 does not count (100 frames); Box2 in 600..700, first seen later.
  const ClipAnnotationData clip =
      areas_clip(720, {{"Box0", range(500, 601)}, {"Box2", range(600, 701)}, {"Box1", range(501, 602)}});
  EXPECT_EQ(find_boxes_with_small_area_from_last_video(clip), (std::vector<std::string>{"Box1", "Box2"}));
  EXPECT_TRUE(find_boxes_with_small_area_from_last_video(areas_clip(500, {{"Box0", range(0, 500)}})).empty());
  EXPECT_EQ(find_boxes_with_small_area_from_last_video(clip, 500, 99).size(), 0u);
}

}  // namespace
}  // namespace pelk
