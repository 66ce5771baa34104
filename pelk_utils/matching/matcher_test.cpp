#include "pelk_utils/matching/matcher.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/models/testing/fake_models.hpp"

namespace pelk {
namespace {
using testing::CoutCapture;
using testing::FakePredictor;

const cv::Size kFrame(160, 60);

Mask box_mask(cv::Rect r) {
  cv::Mat1b m = cv::Mat1b::zeros(kFrame);
  m(r).setTo(1);
  return Mask(m);
}

// The previous clip: two frames of ten separate 10 x 20 animals.
ClipAnnotationData previous_clip() {
  ClipAnnotationData clip;
  for (int key : {598, 599}) {
    FrameRecord r;
    for (int i = 0; i < 10; ++i) r.masks_dict.insert_or_assign("Box" + std::to_string(i), box_mask({i * 15 + 2, 10, 10, 20}));
    clip.emplace(key, r);
  }
  return clip;
}

class MatcherTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    frames_ = {path("0000.jpg")};
    cv::imwrite(frames_[0], cv::Mat3b(kFrame, cv::Vec3b(30, 60, 90)));
  }
  std::vector<std::string> frames_;
  FakePredictor predictor_;
};

TEST_F(MatcherTest, CarriesTheTenIdentitiesAndShowsThePreviousMasks) {
  ClipAnnotationData clip = previous_clip();
  cv::Mat shown;
  CoutCapture cap;
  const MatchResult r = matcher(clip, frames_, 0, &predictor_, std::nullopt, 10, 10, [&](const cv::Mat& m) { shown = m; });
  EXPECT_EQ(cap.text(), "ann_frame_idx [0] works for mask finding!!!\n");
  ASSERT_FALSE(r.no_best_laste_frame);
  EXPECT_EQ(r.best_laste_frame, &clip.at(599));
  ASSERT_EQ(predictor_.prompts.size(), 1u);  // one predict call with every box
  ASSERT_EQ(predictor_.prompts[0].size(), 10u);
  EXPECT_EQ(predictor_.prompts[0][3], (Box{47, 10, 56, 29}));  // inclusive pixel bounds
  EXPECT_EQ(predictor_.image_size, kFrame);
  ASSERT_TRUE(r.masks && r.OBJECTS && r.keep_box);
  EXPECT_EQ(r.masks->size(), 10u);
  EXPECT_EQ(*r.OBJECTS, std::vector<std::string>(10, "pig"));
  EXPECT_EQ(r.keep_box->back(), "Box9");
  EXPECT_EQ(shown.type(), CV_8UC4);
  EXPECT_EQ(shown.size(), kFrame);
}

TEST_F(MatcherTest, RemovedBoxLeavesTheCallersDataAndTheKeptList) {
  ClipAnnotationData clip = previous_clip();
  CoutCapture quiet;
  const MatchResult r = matcher(clip, frames_, 0, &predictor_, std::vector<std::optional<std::string>>{"Box4"});
  ASSERT_TRUE(r.keep_box);
  EXPECT_EQ(*r.keep_box, (std::vector<std::string>{"Box0", "Box1", "Box2", "Box3", "Box5", "Box6", "Box7", "Box8", "Box9"}));
  EXPECT_FALSE(clip.at(598).masks_dict.contains("Box4"));
  EXPECT_EQ(predictor_.prompts.at(0).size(), 9u);
  EXPECT_EQ(r.masks->size(), 9u);
}

struct NewMasksCase {
  const char* name;
  std::vector<cv::Rect> rects;  // the segmenter's masks
  bool works;
  friend void PrintTo(const NewMasksCase& c, std::ostream* os) { *os << c.name; }
};

class MatcherAcceptanceTest : public MatcherTest, public ::testing::WithParamInterface<NewMasksCase> {};

TEST_P(MatcherAcceptanceTest, AcceptsOnlyCleanMasksOfTheRightCount) {
  ClipAnnotationData clip = previous_clip();
  std::vector<cv::Mat> masks;
  for (const cv::Rect& r : GetParam().rects) masks.push_back(box_mask(r).full());
  predictor_.scripted_masks.push_back(masks);
  CoutCapture cap;
  const MatchResult r = matcher(clip, frames_, 0, &predictor_);
  EXPECT_EQ(r.no_best_laste_frame, !GetParam().works);
  EXPECT_EQ(r.masks.has_value(), GetParam().works);
  // A count other than the boxes' is named before the soft failure.
  const std::string count = GetParam().rects.size() == 10 ? ""
                            : "the segmenter returned " + std::to_string(GetParam().rects.size()) +
                                  " masks for 10 boxes\n";
  EXPECT_EQ(cap.text(), GetParam().works ? "ann_frame_idx [0] works for mask finding!!!\n"
                                         : count + "ann_frame_idx [0] cannot work..\n\n");
}

std::vector<cv::Rect> ten_with(int index, cv::Rect replacement) {
  std::vector<cv::Rect> rects;
  for (int i = 0; i < 10; ++i) rects.emplace_back(i * 15 + 2, 10, 10, 20);
  rects[static_cast<std::size_t>(index)] = replacement;
  return rects;
}

std::vector<cv::Rect> first_nine() {
  std::vector<cv::Rect> rects = ten_with(0, {2, 10, 10, 20});
  rects.pop_back();
  return rects;
}

INSTANTIATE_TEST_SUITE_P(
    NewMasks, MatcherAcceptanceTest,
    ::testing::Values(NewMasksCase{"ten_clean", ten_with(0, {2, 10, 10, 20}), true},
                      // Box1 shares 22 of its and Box0's 200 pixels: 11 percent of each.
                      NewMasksCase{"eleven_percent_overlap", ten_with(1, {10, 19, 10, 20}), false},
                      NewMasksCase{"ten_percent_overlap", ten_with(1, {10, 20, 10, 20}), true},
                      NewMasksCase{"area_equal_to_min_area", ten_with(5, {80, 50, 10, 1}), true},
                      NewMasksCase{"area_below_min_area", ten_with(5, {80, 50, 9, 1}), false},
                      NewMasksCase{"one_missing", first_nine(), false},
                      NewMasksCase{"model_returns_no_masks", {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MatcherTest, NoUsablePreviousFrameFailsBeforeTheModel) {
  ClipAnnotationData clip;
  CoutCapture cap;
  const MatchResult r = matcher(clip, frames_, 0, &predictor_);
  EXPECT_TRUE(r.no_best_laste_frame);
  EXPECT_FALSE(r.keep_box.has_value());
  EXPECT_EQ(predictor_.set_image_calls, 0);
  EXPECT_NE(cap.text().find("Issue is from the laste frame, not enough masks found.\n"), std::string::npos);
}

TEST_F(MatcherTest, BadArgumentsGiveClearErrors) {
  ClipAnnotationData clip = previous_clip();
  CoutCapture quiet;
  EXPECT_THROW(matcher(clip, frames_, 3, &predictor_), std::out_of_range);
  EXPECT_THROW(matcher(clip, frames_, 0, nullptr), std::invalid_argument);
  EXPECT_THROW(matcher(clip, {path("missing.jpg")}, 0, &predictor_), std::runtime_error);
}

TEST_F(MatcherTest, EveryBoxRemovedMatchesNothingWithoutCrashing) {
  ClipAnnotationData clip = previous_clip();
  std::vector<std::optional<std::string>> every_box;
  for (int i = 0; i < 10; ++i) every_box.push_back("Box" + std::to_string(i));
  CoutCapture cap;
  const MatchResult r = matcher(clip, frames_, 0, &predictor_, every_box);
  EXPECT_EQ(cap.text(), "ann_frame_idx [0] works for mask finding!!!\n");
  ASSERT_TRUE(r.masks && r.keep_box);
  EXPECT_TRUE(r.masks->empty());
  EXPECT_TRUE(r.keep_box->empty());
}

// A segmenter answering on another grid is a fault to report, not a match.
struct WrongMaskCase {
  const char* name;
  cv::Mat mask;
  const char* received;
  friend void PrintTo(const WrongMaskCase& c, std::ostream* os) { *os << c.name; }
};

class MatcherWrongMaskTest : public MatcherTest, public ::testing::WithParamInterface<WrongMaskCase> {};

TEST_P(MatcherWrongMaskTest, NamesTheCallAndBothShapes) {
  ClipAnnotationData clip = previous_clip();
  std::vector<cv::Mat> masks;
  for (int i = 0; i < 10; ++i) masks.push_back(box_mask({i * 15 + 2, 10, 10, 20}).full());
  masks[3] = GetParam().mask;
  predictor_.scripted_masks.push_back(masks);
  CoutCapture quiet;
  try {
    matcher(clip, frames_, 0, &predictor_);
    ADD_FAILURE() << "expected an error";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("matcher"), std::string::npos) << what;
    EXPECT_NE(what.find("mask 3 is " + std::string(GetParam().received) + "; expected the frame's 60 x 160"),
              std::string::npos) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MatcherWrongMaskTest,
    ::testing::Values(WrongMaskCase{"smaller", cv::Mat1b(100, 100, uchar{1}), "100 x 100"},
                      WrongMaskCase{"transposed", cv::Mat1b(160, 60, uchar{1}), "160 x 60"},
                      WrongMaskCase{"three_channels", cv::Mat3b(60, 160, cv::Vec3b(1, 1, 1)), "60 x 160 x 3 channels"},
                      WrongMaskCase{"empty", cv::Mat(), "empty"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

// A carried mask is carried only when it lies on an animal the detector
// found: most of its pixels inside one detected box.
TEST(MasksOnDetectionsTest, MostPixelsInsideOneDetectedBox) {
  const cv::Size frame(200, 100);
  const auto rect = [&](int x, int y, int w, int h) {
    cv::Mat1b full = cv::Mat1b::zeros(frame);
    full(cv::Rect(x, y, w, h)).setTo(1);
    return Mask(full);
  };
  const std::vector<Box> detections = {Box{10, 10, 49, 49}, Box{100, 10, 139, 49}};
  struct Case {
    const char* name;
    Mask mask;
    bool on;
  };
  for (const Case& c : {Case{"inside_a_box", rect(15, 15, 20, 20), true},
                        Case{"on_the_box_edge", rect(40, 40, 10, 10), true},        // 100 of 100 pixels in 10..49
                        Case{"half_out", rect(40, 10, 20, 20), true},             // 10 of 20 columns inside: half
                        Case{"mostly_out", rect(45, 10, 20, 20), false},          // 5 of 20 columns inside
                        Case{"between_the_boxes", rect(60, 10, 30, 30), false},
                        Case{"left_the_view", Mask(cv::Mat1b::zeros(frame)), false},
                        Case{"over_two_boxes_without_half_in_either", rect(30, 10, 90, 20), false}}) {
    EXPECT_EQ(masks_on_detections({c.mask}, detections), std::vector<bool>{c.on}) << c.name;
  }
  EXPECT_EQ(masks_on_detections({rect(15, 15, 5, 5)}, {}), std::vector<bool>{false}) << "nothing detected";
}

}  // namespace
}  // namespace pelk
