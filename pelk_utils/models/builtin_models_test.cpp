// The built-in models on the synthetic pen scene.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/detect/initializer.hpp"
#include "pelk_utils/matching/region_features.hpp"
#include "pelk_utils/matching/similarity.hpp"
#include "pelk_utils/models/classical_detector.hpp"
#include "pelk_utils/models/classical_segmenter.hpp"
#include "pelk_utils/synth/pen_scene.hpp"

namespace pelk {
namespace {
using synth::AnimalTruth;
using synth::PenScene;

cv::Mat rgb_of(const cv::Mat& bgr) {
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

// Returns the truth entry whose box is nearest to `box`.
const AnimalTruth& nearest(const std::vector<AnimalTruth>& truth, const Box& box) {
  const AnimalTruth* best = &truth[0];
  double best_d = 1e18;
  for (const AnimalTruth& t : truth) {
    double d = 0;
    for (int i = 0; i < 4; ++i) d += std::abs(t.box[static_cast<std::size_t>(i)] - box[static_cast<std::size_t>(i)]);
    if (d < best_d) best_d = d, best = &t;
  }
  return *best;
}

TEST(BuiltinModelsTest, DetectorFindsTheTenAnimalsAndTheSegmenterTheirMasks) {
  const PenScene scene;
  for (int f : {0, 100, 190}) {
    const cv::Mat rgb = rgb_of(scene.render(f));
    const auto truth = scene.truth(f);
    ClassicalDetector detector;
    const DetectionResult found = detector.detect(rgb);
    ASSERT_EQ(found.boxes.size(), 10u) << "frame " << f;
    for (std::size_t i = 0; i < found.boxes.size(); ++i) {
      EXPECT_EQ(found.labels[i], "pig");
      EXPECT_GE(found.scores[i], 0.35f);
      EXPECT_LE(found.scores[i], 1.0f);
      const AnimalTruth& t = nearest(truth, found.boxes[i]);
      // Detector boxes end one past the last pixel; truth boxes at it.
      const Box expected{t.box[0], t.box[1], t.box[2] + 1, t.box[3] + 1};
      for (int c = 0; c < 4; ++c) EXPECT_NEAR(found.boxes[i][c], expected[c], 4) << "frame " << f << " animal " << t.identity;
    }
    ClassicalSegmenter segmenter;
    segmenter.set_image(rgb);
    std::vector<Box> boxes;
    for (const AnimalTruth& t : truth) boxes.push_back(t.box);
    const Prediction p = segmenter.predict(std::nullopt, std::nullopt, boxes, false);
    ASSERT_EQ(p.masks.size(), 10u);
    ASSERT_EQ(p.scores.size(), 10u);
    ASSERT_EQ(p.logits.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) {
      const double iou = cal_masks_iou_scores({Mask(p.masks[i])}, {truth[i].mask})(0, 0);
      EXPECT_GT(iou, 0.9) << "frame " << f << " animal " << i;
    }
    EXPECT_EQ(segmenter.predict(std::nullopt, std::nullopt, boxes, true).masks.size(), 30u);
  }
}

TEST(BuiltinModelsTest, PromptsOtherThanPigAndHighThresholdsFindNothing) {
  const PenScene scene;
  const cv::Mat rgb = rgb_of(scene.render(0));
  ClassicalDetector detector;
  const auto inputs = detector(rgb, "cow.");
  const auto outputs = detector(*inputs);
  EXPECT_TRUE(detector.post_process_grounded_object_detection(*outputs, inputs->input_ids(), 0.25, {{1440, 1180}})
                  .at(0).boxes.empty());
  EXPECT_TRUE(detector.detect(rgb, 1.0).boxes.empty());
  ClassicalDetector strict(ClassicalDetectorSettings{.box_threshold = 1.01});
  EXPECT_TRUE(strict.detect(rgb).boxes.empty());
  EXPECT_THROW(inputs->to("cuda:0"), std::invalid_argument);
  ClassicalSegmenter segmenter;
  EXPECT_THROW(segmenter.predict(std::nullopt, std::nullopt, {{0, 0, 5, 5}}, false), std::logic_error);
}

class BuiltinInitializerTest : public testing::ScratchDirTest {};

TEST_F(BuiltinInitializerTest, InitializerAcceptsTheSceneAndNamesTenBoxes) {
  synth::SceneConfig config;
  config.frame_size = {590, 720};
  const PenScene scene(config);
  const auto frames = scene.write_frames(path("frames"), 0, 3);
  scene.write_pen_file(path("pen.json"));
  ClassicalDetector detector;
  ClassicalSegmenter segmenter;
  testing::CoutCapture cap;
  const auto clip = initializer(path("frames"), frames, detector, detector, "cpu", segmenter, 0, 10, 0.25, 10,
                                path("pen.json"));
  ASSERT_TRUE(clip) << cap.text();
  EXPECT_EQ(clip->ann_frame_idx, 0);
  EXPECT_EQ(clip->masks.size(), 10u);
}

// The same animal in consecutive frames must look more alike to the built-in
// encoder than two different animals do, for most animals.
TEST(BuiltinEncoderTest, RanksTheSameAnimalFirstInMostConsecutivePairs) {
  const PenScene scene;
  ClassicalSegmenter segmenter;
  int right = 0, total = 0;
  for (int f : {0, 20, 100, 120, 150, 180}) {
    std::vector<Mask> a, b;
    for (const AnimalTruth& t : scene.truth(f)) a.push_back(t.mask);
    for (const AnimalTruth& t : scene.truth(f + 1)) b.push_back(t.mask);
    const auto fa = generate_sam2_image_features(scene.render(f), a, segmenter);
    const auto fb = generate_sam2_image_features(scene.render(f + 1), b, segmenter);
    const cv::Mat1d scores = cosine_scores_cal(fb, fa);
    for (int i = 0; i < scores.rows; ++i) {
      cv::Point best;
      cv::minMaxLoc(scores.row(i), nullptr, nullptr, nullptr, &best);
      right += best.x == i;
      ++total;
    }
  }
  EXPECT_GE(right, total * 8 / 10) << right << " of " << total;
}

}  // namespace
}  // namespace pelk
