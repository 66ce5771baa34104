#include "pelk_utils/detect/initializer.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/models/testing/fake_models.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::CoutCapture;
using testing::FakePredictor;
using testing::ScriptedDetector;

class InitializerTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    pen_ = (dir_ / "pen.json").string();
    std::ofstream(pen_) << R"({"shapes": [{"points": [[0, 0], [600, 0], [600, 400], [0, 400]]}]})";
  }

  std::vector<std::string> frames(int n, cv::Size size = {600, 400}) {
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) {
      names.push_back((dir_ / (std::to_string(i) + ".png")).string());
      cv::imwrite(names.back(), cv::Mat(size, CV_8UC3, cv::Scalar(i, 0, 0)));
    }
    return names;
  }

  std::optional<InitializedClip> run(const std::vector<std::string>& names, std::deque<DetectionResult> script,
                                     FakePredictor& predictor, int close_set_num, int start = 0, int step = 10) {
    detector_ = std::make_unique<ScriptedDetector>(std::move(script));
    return initializer("clip", names, *detector_, *detector_, "cpu", predictor, start, step, 0.25, close_set_num, pen_);
  }

  std::string pen_;
  std::unique_ptr<ScriptedDetector> detector_;
};

DetectionResult pigs(std::vector<Box> boxes, std::vector<float> scores) {
  DetectionResult r;
  r.boxes = std::move(boxes);
  r.scores = std::move(scores);
  r.labels.assign(r.boxes.size(), "pig");
  return r;
}

cv::Mat1b rect_raster(cv::Size f, cv::Rect r) {
  cv::Mat1b m = cv::Mat1b::zeros(f);
  m(r & cv::Rect(cv::Point(), f)).setTo(1);
  return m;
}

TEST_F(InitializerTest, ExaminesEveryStepAndPrintsSkips) {
  FakePredictor predictor;
  CoutCapture out;
  const auto clip = run(frames(35), {{}, {}, {}, {}}, predictor, 10);
  EXPECT_FALSE(clip.has_value());
  EXPECT_EQ(out.text(),
            "Using pen JSON path: " + pen_ +
                "\nNo boxes found in frame 0. Skipping to next frame.\n"
                "No boxes found in frame 10. Skipping to next frame.\n"
                "No boxes found in frame 20. Skipping to next frame.\n"
                "No boxes found in frame 30. Skipping to next frame.\n");
  EXPECT_EQ(detector_->texts, std::vector<std::string>(4, "pig."));
  EXPECT_EQ(detector_->devices, std::vector<Device>(4, "cpu"));
  EXPECT_EQ(detector_->sizes[0], (std::pair<int, int>{400, 600}));
  EXPECT_DOUBLE_EQ(detector_->thresholds[0], 0.25);
  EXPECT_EQ(predictor.set_image_calls, 0);
}

TEST_F(InitializerTest, TwelveBoxesTwoStackedPairsAreAccepted) {
  const cv::Size f(600, 400);
  std::vector<Box> boxes;
  std::vector<float> scores;
  std::vector<cv::Mat> masks;
  for (int i = 0; i < 12; ++i) {
    const cv::Rect r(20 + (i % 4) * 140, 20 + (i / 4) * 120, 60, 60);
    boxes.push_back({double(r.x), double(r.y), double(r.br().x), double(r.br().y)});
    scores.push_back(0.5f);
    masks.push_back(rect_raster(f, r));
  }
  // Box1's mask reaches into Box0 (lower score loses); Box4's into Box5.
  masks[1] = rect_raster(f, {60, 20, 160, 60});
  scores[0] = 0.9f;
  scores[1] = 0.6f;
  masks[4] = rect_raster(f, {20, 140, 100, 60});
  masks[5] = rect_raster(f, {110, 140, 110, 60});
  scores[4] = 0.4f;
  scores[5] = 0.8f;
  FakePredictor predictor;
  predictor.scripted_masks.push_back(masks);
  CoutCapture out;
  const auto clip = run(frames(5), {pigs(boxes, scores)}, predictor, 10);
  ASSERT_TRUE(clip.has_value());
  EXPECT_EQ(clip->ann_frame_idx, 0);
  EXPECT_EQ(clip->masks.size(), 10u);
  EXPECT_EQ(clip->intersections_df.size(), 12u);
  EXPECT_EQ(clip->intersections_df.keys().back(), "Box11");
  EXPECT_EQ(clip->masks[0], Mask(masks[0]));
  EXPECT_EQ(clip->masks[3], Mask(masks[5]));
  EXPECT_EQ(clip->annotated_frame.type(), CV_8UC4);
  EXPECT_NE(out.text().find("Boxes will be kept: [ 0  2  3  5  6  7  8  9 10 11], totally 10 keys\n"
                            "ann_frame_idx [0] works!!!\n"
                            "[0.9 0.5 0.5 0.8 0.5 0.5 0.5 0.5 0.5 0.5]\n"),
            std::string::npos)
      << out.text();
}

struct StackCase {
  const char* name;
  int overlap_pixels;  // of mask 1 (area 10000) lying on mask 0
  float score0, score1;
  int mask0_area_extra;  // grows mask 0 so the reverse direction is small
  std::string kept;
};

class StackingTest : public InitializerTest, public ::testing::WithParamInterface<StackCase> {};

TEST_P(StackingTest, RemovesAsExpected) {
  const cv::Size f(600, 400);
  const StackCase& c = GetParam();
  // Mask 1: a 100 x 100 square. Mask 0: a strip covering `overlap_pixels` of it.
  cv::Mat1b m1 = rect_raster(f, {200, 100, 100, 100});
  cv::Mat1b m0 = rect_raster(f, {100, 100, 100, 100 + c.mask0_area_extra / 100});
  const int full_rows = c.overlap_pixels / 100, rest = c.overlap_pixels % 100;
  m0(cv::Rect(200, 100, 1, 0) + cv::Size(0, 0)).setTo(0);
  for (int y = 0; y < full_rows; ++y) m0(cv::Rect(200, 100 + y, 100, 1)).setTo(1);
  if (rest) m0(cv::Rect(200, 100 + full_rows, rest, 1)).setTo(1);
  FakePredictor predictor;
  predictor.scripted_masks.push_back({m0, m1});
  CoutCapture out;
  run(frames(1), {pigs({{100, 100, 200, 200}, {200, 101, 300, 200}}, {c.score0, c.score1})}, predictor, 2);
  EXPECT_NE(out.text().find("Boxes will be kept: " + c.kept), std::string::npos) << out.text();
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, StackingTest,
    ::testing::Values(
        // 800 of mask 1's 10000 pixels: exactly 8 percent, not removed; 801 is 8.01.
        StackCase{"exactly_8_percent_stays", 800, 0.9f, 0.5f, 0, "[0 1], totally 2 keys"},
        StackCase{"above_8_percent_lower_score_goes", 801, 0.9f, 0.5f, 0, "[0], totally 1 keys"},
        StackCase{"higher_score_row_keeps", 801, 0.5f, 0.9f, 0, "[1], totally 1 keys"},
        // Equal scores, both directions above 8 percent: both go.
        StackCase{"equal_scores_mutual", 5000, 0.5f, 0.5f, 0, "[], totally 0 keys"},
        // Equal scores, only mask 1 covered above 8 percent (mask 0 is large): only the covered row goes.
        StackCase{"equal_scores_one_sided", 900, 0.5f, 0.5f, 20000, "[0], totally 1 keys"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InitializerTest, SizeLimitsDependOnTopEdgeAgainstHalfHeight) {
  // Frame 600 x 400: half height 200. The pen is huge so every box is in it.
  std::ofstream(pen_) << R"({"shapes": [{"points": [[-9000, -9000], [9000, -9000], [9000, 9000], [-9000, 9000]]}]})";
  const std::vector<Box> boxes = {
      {0, 199.5, 1500, 1199.5},  // upper part, area exactly 1500000: dropped
      {0, 199, 1499, 1199},      // upper part, 1499000: kept
      {0, 200, 2000, 2200},      // top exactly at half: judged against 4000000, area 4000000: dropped
      {0, 200, 1999, 2200},      // lower part, 3998000: kept
  };
  FakePredictor predictor;
  CoutCapture out;
  run(frames(1), {pigs(boxes, {0.5f, 0.5f, 0.5f, 0.5f})}, predictor, 10);
  ASSERT_EQ(predictor.prompts.size(), 1u);
  EXPECT_EQ(predictor.prompts[0], (std::vector<Box>{{0, 199, 1499, 1199}, {0, 200, 1999, 2200}}));
}

TEST_F(InitializerTest, AllBoxesOutsidePenTakeTooFewBranchWithoutSegmenting) {
  FakePredictor predictor;
  CoutCapture out;
  const auto clip = run(frames(1), {pigs({{700, 0, 800, 50}}, {0.9f})}, predictor, 10);
  EXPECT_FALSE(clip.has_value());
  EXPECT_EQ(predictor.set_image_calls, 0);
  EXPECT_NE(out.text().find("Boxes will be kept: [], totally 0 keys\n"
                            "ann_frame_idx [0] cannot work, too few bbx found..\n\n"),
            std::string::npos);
}

TEST_F(InitializerTest, TooManyThenAcceptedOnLaterFrame) {
  FakePredictor predictor;
  CoutCapture out;
  const std::vector<Box> three = {{10, 10, 50, 50}, {100, 10, 140, 50}, {200, 10, 240, 50}};
  const auto clip = run(frames(12), {pigs(three, {0.5f, 0.6f, 0.7f}), pigs({three[0], three[1]}, {0.5f, 0.6f})},
                        predictor, 2, 1, 5);
  ASSERT_TRUE(clip.has_value());
  EXPECT_EQ(clip->ann_frame_idx, 6);
  EXPECT_NE(out.text().find("ann_frame_idx [1] cannot work, too many bbx found..\n\n"), std::string::npos);
  EXPECT_EQ(predictor.set_image_calls, 2);
}

TEST_F(InitializerTest, BadArgumentsAndMissingPen) {
  FakePredictor predictor;
  CoutCapture out;
  EXPECT_THROW(run(frames(3), {}, predictor, 10, 0, 0), std::invalid_argument);
  EXPECT_THROW(run(frames(3), {}, predictor, 10, -1, 1), std::invalid_argument);
  EXPECT_FALSE(run(frames(3), {}, predictor, 10, 5, 1).has_value());  // start beyond the last frame
  ScriptedDetector detector({pigs({{10, 10, 50, 50}}, {0.5f})});
  EXPECT_THROW(initializer("D:\\Camera63_1\\c", frames(1), detector, detector, "cpu", predictor), std::runtime_error);
  EXPECT_NE(out.text().find("Using pen JSON path: None\n"), std::string::npos);
}

}  // namespace
}  // namespace pelk
