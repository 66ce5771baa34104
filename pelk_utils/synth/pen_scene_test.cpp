#include "pelk_utils/synth/pen_scene.hpp"

#include <filesystem>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "pelk_utils/video/catalogue.hpp"
#include "pelk_utils/video/video_processor.hpp"

namespace pelk::synth {
namespace {
namespace fs = std::filesystem;

SceneConfig small() {
  SceneConfig c;
  c.frame_size = {295, 360};  // a quarter of the default
  return c;
}

TEST(PenSceneTest, DeterministicFromTheSeed) {
  const PenScene a(small()), b(small());
  SceneConfig other = small();
  other.seed = 2;
  const PenScene c(other);
  EXPECT_EQ(cv::norm(a.render(17), b.render(17), cv::NORM_INF), 0);
  EXPECT_GT(cv::norm(a.render(17), c.render(17), cv::NORM_L1), 0);
  EXPECT_EQ(a.truth(17)[4].mask, b.truth(17)[4].mask);
}

TEST(PenSceneTest, TenVisibleAnimalsInsideThePenOnAnOrdinaryFrame) {
  const PenScene scene(small());
  const auto truth = scene.truth(0);
  ASSERT_EQ(truth.size(), 10u);
  PenPolygon pen;
  for (const cv::Point& p : scene.pen()) pen.push_back({p.x, p.y});
  std::vector<Box> boxes;
  for (const AnimalTruth& t : truth) {
    EXPECT_GT(t.mask.area(), 1000) << t.identity;
    boxes.push_back(t.box);
  }
  const PenRatios ratios = calculate_pen_intersection_ratio(pen, boxes, 40);
  for (bool inside : ratios.in_pen_index) EXPECT_TRUE(inside);
  MaskDict masks;
  for (const AnimalTruth& t : truth) masks.insert_or_assign("Box" + std::to_string(t.identity), t.mask);
  const cv::Mat1d cells = intersection_between_masks(masks, mask_areas(masks)).values();
  for (double v : cells) EXPECT_EQ(v, 0.0);  // visible parts never share a pixel
}

TEST(PenSceneTest, ScriptedEventsHappen) {
  const PenScene scene(small());
  const SceneConfig& c = scene.config();
  const int mid_overlap = (c.overlap.first + c.overlap.last) / 2;
  const int walker = SceneConfig::kWalker, leaver = SceneConfig::kLeaver;
  const double hidden = 1.0 - static_cast<double>(scene.truth(mid_overlap)[walker].mask.area()) /
                                  static_cast<double>(scene.truth(0)[walker].mask.area());
  EXPECT_GT(hidden, 0.4);  // the walker lies mostly under its neighbour (drawn later, on top)
  EXPECT_TRUE(scene.truth((c.vanish.first + c.vanish.last) / 2)[leaver].mask.empty());
  EXPECT_FALSE(scene.truth(c.vanish.last + 2)[leaver].mask.empty());
  // The beam cuts the split animal into two pieces.
  const Mask five = scene.truth(c.split.first + 2)[SceneConfig::kSplitAnimal].mask;
  cv::Mat labels;
  EXPECT_EQ(cv::connectedComponents(five.roi(), labels, 8), 3);
}

class PenSceneFilesTest : public testing::ScratchDirTest {};

TEST_F(PenSceneFilesTest, WritesFramesPenFileAndACameraVideoThatExtractionCrops) {
  SceneConfig c;
  c.frames = 6;
  const PenScene scene(c);
  const auto frames = scene.write_frames(path("frames"), 0, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(cv::imread(frames[1]).size(), c.frame_size);
  scene.write_pen_file(path("pen.json"));
  EXPECT_EQ(draw_pen("unused.jpg", path("pen.json")).polygon_points.size(), scene.pen().size());

  const std::string video = scene.write_camera_video(path("videos/cam62"));
  EXPECT_EQ(fs::path(video).filename(), "Camera62_1_20240405070000.mp4");
  VideoMetadata catalogue{.base_dir = path("videos"), .sub_dirs = {"cam62"}};
  testing::CoutCapture quiet;
  const CatalogueTable table = catalogue.get_filtered_video_dataframe();
  ASSERT_EQ(table.size(), 1u);
  VideoProcessor extract;
  extract.crop_video_to_frames(video, path("out"), 0, 5.0 / 25 / 60, table[0].camera_number);
  EXPECT_EQ(extract.camera_crop_coords.at(std::string("62")), (CropRect{1120, 0, 2300, 1440}));
  EXPECT_EQ(cv::imread(path("out/0000.jpg")).size(), c.frame_size);
}

}  // namespace
}  // namespace pelk::synth
