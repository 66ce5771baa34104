#include <filesystem>

#include <limits>
#include <tuple>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/analytics/clustering.hpp"
#include "pelk_utils/analytics/figure.hpp"
#include "pelk_utils/analytics/heatmap.hpp"
#include "pelk_utils/analytics/motion.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
using testing::CoutCapture;

IntersectionsTable table(const std::vector<std::vector<double>>& rows) {
  const int n = static_cast<int>(rows.size());
  cv::Mat1d values(n, n);
  std::vector<std::string> keys;
  for (int r = 0; r < n; ++r) {
    keys.push_back("Box" + std::to_string(r));
    for (int c = 0; c < n; ++c) values(r, c) = rows[r][c];
  }
  return IntersectionsTable(keys, values);
}

int count_colour(const cv::Mat& image, const cv::Vec3b& colour) {
  cv::Mat same;
  cv::inRange(image, cv::Scalar(colour[0], colour[1], colour[2]), cv::Scalar(colour[0], colour[1], colour[2]), same);
  return cv::countNonZero(same);
}

int dark_pixels(const cv::Mat& image, cv::Rect where) {
  cv::Mat grey;
  cv::cvtColor(image(where), grey, cv::COLOR_BGR2GRAY);
  return cv::countNonZero(grey < 100);
}

TEST(HeatmapTest, ColourScaleIsRedsFixedFrom0To100) {
  EXPECT_EQ(reds_colour(0), cv::Vec3b(240, 245, 255));   // #fff5f0
  EXPECT_EQ(reds_colour(100), cv::Vec3b(13, 0, 103));    // #67000d
  EXPECT_EQ(reds_colour(50), cv::Vec3b(74, 106, 251));   // #fb6a4a, the middle anchor
  EXPECT_EQ(reds_colour(250), reds_colour(100));
  EXPECT_EQ(reds_colour(-5), reds_colour(0));
}

TEST(HeatmapTest, RendersCellsLabelsAndColourBar) {
  const cv::Mat image = render_intersection_heatmap(table({{0, 100}, {100, 0}}));
  ASSERT_EQ(image.size(), cv::Size(7 * kHeatmapDpi, 5 * kHeatmapDpi));
  ASSERT_EQ(image.type(), CV_8UC3);
  // Two cells of each colour (190 x 190 less text and borders).
  EXPECT_GT(count_colour(image, reds_colour(0)), 2 * 170 * 170);
  EXPECT_GT(count_colour(image, reds_colour(100)), 2 * 170 * 170);
  EXPECT_GT(dark_pixels(image, {0, 0, 700, 35}), 50);     // title
  EXPECT_GT(dark_pixels(image, {30, 45, 75, 380}), 50);   // "Mask i" row ticks
  EXPECT_GT(dark_pixels(image, {0, 150, 30, 200}), 20);   // "Mask 1" axis label
  EXPECT_GT(dark_pixels(image, {100, 430, 400, 70}), 50); // column ticks and "Mask 2"
  // White annotation text on the dark cells, black on the light ones.
  const cv::Rect dark_cell(300, 45, 190, 190), light_cell(110, 45, 190, 190);
  cv::Mat light_text;
  cv::inRange(image(dark_cell), cv::Scalar(200, 200, 200), cv::Scalar(255, 255, 255), light_text);
  EXPECT_GT(cv::countNonZero(light_text), 10);
  EXPECT_GT(dark_pixels(image, light_cell), 10);
}

TEST(HeatmapTest, OneCellTableAndPresentationThroughTheSink) {
  std::vector<Figure> shown;
  const FigureSink previous = set_figure_sink([&](const Figure& f) { shown.push_back(f); });
  draw_intersection_heatmap(table({{0}}));
  set_figure_sink(previous);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].title, "Intersection Heatmap %");
  EXPECT_GT(count_colour(shown[0].image, reds_colour(0)), 300 * 300);
}

class DefaultSinkTest : public testing::ScratchDirTest {};

TEST_F(DefaultSinkTest, WritesAPngAndPrintsItsPath) {
  set_figures_dir((dir_ / "figs").string());
  CoutCapture cap;
  present_figure(Figure{cv::Mat3b(4, 5, cv::Vec3b(1, 2, 3)), "Some Figure"});
  set_figures_dir(kDefaultFiguresDir);
  ASSERT_EQ(cap.text().rfind("Figure saved to ", 0), 0u) << cap.text();
  const std::string path = cap.text().substr(16, cap.text().size() - 17);
  EXPECT_NE(path.find("_some_figure.png"), std::string::npos);
  EXPECT_EQ(cv::imread(path).size(), cv::Size(5, 4));
}

Mask square(cv::Point centre, int half, cv::Size frame = {400, 300}) {
  cv::Mat1b m = cv::Mat1b::zeros(frame);
  m(cv::Rect(centre.x - half, centre.y - half, 2 * half + 1, 2 * half + 1)).setTo(1);
  return Mask(m);
}

TEST(ClusteringTest, DbscanNeighboursIncludeEpsAndClustersFollowTheList) {
  EXPECT_EQ(dbscan({{0, 0}, {100, 0}, {300, 0}}, 100, 1), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(dbscan({{0, 0}, {101, 0}}, 100, 1), (std::vector<int>{0, 1}));
  EXPECT_EQ(dbscan({{0, 0}, {50, 0}, {300, 0}}, 100, 2), (std::vector<int>{0, 0, -1}));
  // Point 0 is a border point reached from the core at index 2: numbered by
  // its first point in the list, that cluster is 0.
  EXPECT_EQ(dbscan({{0, 0}, {500, 0}, {90, 0}, {180, 0}, {505, 0}}, 100, 3), (std::vector<int>{0, -1, 0, 0, -1}));
  EXPECT_TRUE(dbscan({}, 100, 1).empty());
}

TEST(ClusteringTest, GroupsMasksByCentroid) {
  MaskDict masks;
  masks.insert_or_assign("Box0", square({50, 50}, 5));
  masks.insert_or_assign("Box1", square({150, 50}, 5));   // exactly eps from Box0
  masks.insert_or_assign("Box2", square({350, 250}, 5));  // alone
  masks.insert_or_assign("Box3", Mask(cv::Mat1b::zeros(300, 400)));
  cv::Mat1b dot = cv::Mat1b::zeros(300, 400);
  dot(10, 10) = 1;
  masks.insert_or_assign("Box4", Mask(dot));  // contour of zero area: no centroid
  const auto groups = cluster_masks_and_print(masks);
  EXPECT_EQ(groups.keys(), (std::vector<std::string>{"Noise", "Cluster 0", "Cluster 1"}));
  EXPECT_TRUE(groups.at("Noise").empty());
  EXPECT_EQ(groups.at("Cluster 0"), (std::vector<std::string>{"Box0", "Box1"}));
  EXPECT_EQ(groups.at("Cluster 1"), (std::vector<std::string>{"Box2"}));
  const auto strict = cluster_masks_and_print(masks, 100, 2);
  EXPECT_EQ(strict.at("Noise"), (std::vector<std::string>{"Box2"}));
}

// Settings under which every animal would be noise are refused, as the
// usual clustering libraries refuse them, even with nothing to cluster.
TEST(ClusteringTest, SettingsWithoutMeaningAreRefused) {
  MaskDict masks;
  masks.insert_or_assign("Box0", square({50, 50}, 5));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::tuple<double, int, std::string>> cases = {
      {0, 1, "eps must be positive, got 0.0"},
      {-5, 1, "eps must be positive, got -5.0"},
      {nan, 1, "eps must be positive, got nan"},
      {100, 0, "min_samples must be at least 1, got 0"},
      {100, -3, "min_samples must be at least 1, got -3"}};
  for (const auto& [eps, min_samples, message] : cases) {
    for (const MaskDict& input : {masks, MaskDict{}}) {
      try {
        cluster_masks_and_print(input, eps, min_samples);
        ADD_FAILURE() << message;
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), message);
      }
    }
    EXPECT_THROW(dbscan({{0, 0}}, eps, min_samples), std::invalid_argument) << message;
  }
}

TEST(ClusteringTest, NoCentroidGivesOnlyEmptyNoise) {
  MaskDict masks;
  masks.insert_or_assign("Box0", Mask(cv::Mat1b::zeros(20, 20)));
  const auto groups = cluster_masks_and_print(masks);
  EXPECT_EQ(groups.keys(), std::vector<std::string>{"Noise"});
  EXPECT_TRUE(groups.at("Noise").empty());
}

class MotionTest : public testing::ScratchDirTest {
 protected:
  std::string write(const std::string& name, const cv::Mat& image) {
    cv::imwrite(path(name), image);
    return path(name);
  }
};

TEST_F(MotionTest, IdenticalFramesScoreZeroAndMovementScoresInsideTheMask) {
  cv::Mat1b texture(120, 160);
  cv::randu(texture, 0, 255);
  cv::GaussianBlur(texture, texture, {7, 7}, 2);
  cv::Mat1b moved;
  cv::warpAffine(texture, moved, cv::Mat1d({2, 3}, {1, 0, 3, 0, 1, 0}), texture.size(), cv::INTER_LINEAR,
                 cv::BORDER_REFLECT);
  const std::string a = write("a.png", texture), b = write("b.png", moved), c = write("c.png", texture);
  MaskDict masks;
  masks.insert_or_assign("Box0", square({80, 60}, 20, {160, 120}));
  masks.insert_or_assign("Box1", Mask(cv::Mat1b::zeros(120, 160)));
  const auto still = compute_motion_score_in_polygon({a, c}, masks);
  EXPECT_NEAR(still.at("Box0"), 0.0, 1e-5);  // Farneback leaves rounding noise
  EXPECT_EQ(still.at("Box1"), 0.0);
  const auto moving = compute_motion_score_in_polygon({a, b, path("ignored.png")}, masks);
  EXPECT_NEAR(moving.at("Box0"), 3.0, 0.5);
  EXPECT_EQ(moving.at("Box1"), 0.0);
  EXPECT_THROW(compute_motion_score_in_polygon({a}, masks), std::invalid_argument);
  EXPECT_THROW(compute_motion_score_in_polygon({a, path("none.png")}, masks), std::runtime_error);
  const std::string small = write("small.png", cv::Mat1b(60, 80, uchar{7}));
  try {
    compute_motion_score_in_polygon({a, small}, masks);
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "motion scores need two frames of one size: '" + a + "' is 160x120, '" + small +
                                         "' is 80x60");
  }
}

}  // namespace
}  // namespace pelk
