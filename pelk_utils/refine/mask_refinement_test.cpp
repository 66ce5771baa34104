#include "pelk_utils/refine/mask_refinement.hpp"

#include <cmath>
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/analytics/figure.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
using testing::CoutCapture;

const cv::Size kFrame(400, 300);

// Draws blobs (rectangles) into one mask.
Mask blobs(const std::vector<cv::Rect>& rects, cv::Size frame = kFrame) {
  cv::Mat1b m = cv::Mat1b::zeros(frame);
  for (const cv::Rect& r : rects) m(r).setTo(1);
  return Mask(m);
}

// Cleans one mask of a one-frame clip that is not the clip's first frame.
Mask clean(const Mask& mask, const CentroidHistory& history = {}, int frame_idx = 1) {
  const Mask_Refinement refine;
  TrackedClip clip;
  clip.insert_or_assign(0, {});
  clip.insert_or_assign(1, {});
  const MainBlob b = refine.get_main_blob(mask, history, 7);
  return refine.get_dis_to_main_and_prev_blob(b.num_labels, b.labels, b.stats, b.centroids, b.max_distance_threshold,
                                              b.min_area_threshold, b.best_idx, history, 7, frame_idx, mask, clip,
                                              b.window);
}

struct BlobCase {
  const char* name;
  std::vector<cv::Rect> rects;
  std::vector<int> kept;  // indices into rects
  friend void PrintTo(const BlobCase& c, std::ostream* os) { *os << c.name; }
};

class KeepRulesTest : public ::testing::TestWithParam<BlobCase> {};

TEST_P(KeepRulesTest, KeepsTheMainBlobAndTheBlobsThatBelongWithIt) {
  std::vector<cv::Rect> kept;
  for (int i : GetParam().kept) kept.push_back(GetParam().rects[static_cast<std::size_t>(i)]);
  CoutCapture quiet;
  EXPECT_EQ(clean(blobs(GetParam().rects)), blobs(kept));
}

// Main blob 50 x 100 = 5000 px: radius 39.89, distance limit 19.95 px, area
// limit 1500 px. Main blob 30 x 30 = 900 px: limit 1.5 x 16.93 = 25.4 px.
INSTANTIATE_TEST_SUITE_P(
    Blobs, KeepRulesTest,
    ::testing::Values(BlobCase{"single_blob_kept_whole", {{10, 10, 30, 20}}, {0}},
                      BlobCase{"blob_of_2000_at_15_px_kept", {{10, 10, 50, 100}, {74, 10, 40, 50}}, {0, 1}},
                      BlobCase{"blob_of_2000_at_25_px_dropped", {{10, 10, 50, 100}, {84, 10, 40, 50}}, {0}},
                      BlobCase{"blob_of_1400_dropped_at_any_distance", {{10, 10, 50, 100}, {64, 10, 28, 50}}, {0}},
                      BlobCase{"small_main_blob_limit_25_px_kept", {{10, 10, 30, 30}, {64, 10, 10, 30}}, {0, 1}},
                      BlobCase{"small_main_blob_limit_26_px_dropped", {{10, 10, 30, 30}, {65, 10, 10, 30}}, {0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MainBlobTest, OnlyTheFiveLargestCanBeMainWithAHistory) {
  const Mask_Refinement refine;
  // Six blobs of decreasing size; the history sits on the sixth.
  const std::vector<cv::Rect> rects{{10, 10, 30, 30}, {60, 10, 28, 28}, {110, 10, 26, 26},
                                    {160, 10, 24, 24}, {210, 10, 22, 22}, {300, 200, 10, 10}};
  const Mask mask = blobs(rects);
  const CentroidHistory history{{7, cv::Point2d(304.5, 204.5)}};
  const MainBlob b = refine.get_main_blob(mask, history, 7);
  EXPECT_EQ(b.num_labels, 7);
  EXPECT_EQ(b.stats.at<int>(b.best_idx, cv::CC_STAT_AREA), 22 * 22);  // the nearest of the five largest
  EXPECT_EQ(refine.get_main_blob(mask, {}, 7).stats.at<int>(refine.get_main_blob(mask, {}, 7).best_idx, cv::CC_STAT_AREA),
            900);
  EXPECT_THROW(refine.get_main_blob(blobs({}), {}, 7), std::invalid_argument);
}

TEST(HistoryTest, FarHistoryKeepsTheIncomingMaskOnlyOnTheFirstFrame) {
  const Mask mask = blobs({{10, 10, 30, 30}});
  const CentroidHistory far{{7, cv::Point2d(24.5 + 250, 24.5)}};
  CoutCapture cap;
  EXPECT_EQ(clean(mask, far, 0), mask);
  EXPECT_EQ(cap.text(), "");
  EXPECT_TRUE(clean(mask, far, 1).empty());
  EXPECT_EQ(cap.text(), "clean frame1--obj_id7\n");
  const CentroidHistory near{{7, cv::Point2d(24.5 + 200, 24.5)}};  // exactly MAX_PREV_DIST: kept
  EXPECT_EQ(clean(mask, near, 1), mask);
}

TEST(BlobDistanceTest, VertexToVertexMinimum) {
  cv::Mat1b a = cv::Mat1b::zeros(20, 30), b = cv::Mat1b::zeros(20, 30);
  a(cv::Rect(0, 0, 10, 10)).setTo(1);
  b(cv::Rect(10, 0, 10, 10)).setTo(1);
  EXPECT_EQ(Mask_Refinement::blob_shortest_distance(a, b), 1.0);
  EXPECT_EQ(Mask_Refinement::blob_shortest_distance(a, cv::Mat1b::zeros(20, 30)), INFINITY);
  cv::Mat1b c = cv::Mat1b::zeros(20, 30);
  c(cv::Rect(14, 13, 5, 5)).setTo(1);  // corner (9, 9) to corner (14, 13)
  EXPECT_DOUBLE_EQ(Mask_Refinement::blob_shortest_distance(a, c), std::hypot(5, 4));
}

// --- the same rules on full-frame rasters, for the property test ---

double brute_distance(const cv::Mat1b& a, const cv::Mat1b& b) {
  std::vector<std::vector<cv::Point>> ca, cb;
  cv::findContours(a, ca, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  cv::findContours(b, cb, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (ca.empty() || cb.empty()) return INFINITY;
  double best = INFINITY;
  for (const auto& x : ca) for (const cv::Point& p : x) for (const auto& y : cb) for (const cv::Point& q : y)
    best = std::min(best, std::hypot(p.x - q.x, p.y - q.y));
  return best;
}

cv::Mat1b full_frame_clean(const cv::Mat1b& mask, const std::optional<cv::Point2d>& prev) {
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(mask * 255, labels, stats, centroids, 8, CV_32S);
  std::vector<int> order;
  for (int k = 1; k < n; ++k) order.push_back(k);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return stats.at<int>(a, cv::CC_STAT_AREA) > stats.at<int>(b, cv::CC_STAT_AREA); });
  order.resize(std::min<std::size_t>(5, order.size()));
  int best = order[0];
  if (prev) {
    double d = INFINITY;
    for (int k : order) {
      const double e = std::hypot(centroids.at<double>(k, 0) - prev->x, centroids.at<double>(k, 1) - prev->y);
      if (e < d) d = e, best = k;
    }
  }
  const double area = stats.at<int>(best, cv::CC_STAT_AREA);
  const double limit = std::sqrt(area / M_PI) * (area >= 1000 ? 0.5 : 1.5);
  cv::Mat1b kept = cv::Mat1b::zeros(mask.size());
  for (int k = 1; k < n; ++k) {
    const double to_prev = prev ? std::hypot(centroids.at<double>(k, 0) - prev->x, centroids.at<double>(k, 1) - prev->y) : 0;
    const double to_main = brute_distance(labels == best, labels == k);
    if (to_prev <= 200 && (k == best || (stats.at<int>(k, cv::CC_STAT_AREA) >= area * 0.3 && to_main <= limit))) {
      kept.setTo(1, labels == k);
    }
  }
  return kept;
}

TEST(MaskRefinementPropertyTest, EqualsTheFullFrameComputation) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> x(-20, 180), y(-20, 130), r(2, 30), count(1, 7);
  const cv::Size frame(180, 130);
  for (int trial = 0; trial < 200; ++trial) {
    cv::Mat1b m = cv::Mat1b::zeros(frame);
    for (int k = count(rng); k > 0; --k) cv::ellipse(m, {x(rng), y(rng)}, {r(rng), r(rng)}, 30, 0, 360, 1, cv::FILLED);
    if (cv::countNonZero(m) == 0) continue;
    const std::optional<cv::Point2d> prev =
        trial % 2 ? std::optional<cv::Point2d>(cv::Point2d(x(rng), y(rng))) : std::nullopt;
    CentroidHistory history;
    if (prev) history[7] = *prev;
    const Mask_Refinement refine;
    TrackedClip clip;
    clip.insert_or_assign(0, {});
    const MainBlob b = refine.get_main_blob(Mask(m), history, 7);
    CoutCapture quiet;
    const Mask got = refine.get_dis_to_main_and_prev_blob(b.num_labels, b.labels, b.stats, b.centroids,
                                                          b.max_distance_threshold, b.min_area_threshold, b.best_idx,
                                                          history, 7, 1, Mask(m), clip, b.window);
    ASSERT_EQ(got, Mask(full_frame_clean(m, prev))) << "trial " << trial;
  }
}

// --- the cleaning pass over a clip ---

class CleaningPassTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    pen_ = path("pen.json");
    // The pen covers columns 0..299 of the 400 px wide frame.
    std::ofstream(pen_) << R"({"shapes": [{"points": [[0, 0], [299, 0], [299, 299], [0, 299]]}]})";
    for (int i = 0; i < 10; ++i) frames_.push_back(path(std::to_string(i) + ".jpg"));  // named, never opened
  }
  std::string pen_;
  std::vector<std::string> frames_;
};

TEST_F(CleaningPassTest, SplitAnimalKeepsTheBodyAndMovesTheHistory) {
  Mask_Refinement refine(0.3, {0.5, 1.5}, 200, pen_);
  TrackedClip clip;
  const Mask body = blobs({{50, 50, 80, 50}});                    // 4000 px
  const Mask split = blobs({{50, 50, 80, 50}, {190, 60, 15, 20}});  // + 300 px, 60 px away
  clip.insert_or_assign(0, {});
  clip.at(0).insert_or_assign(3, split);
  clip.insert_or_assign(1, {});
  clip.at(1).insert_or_assign(3, split);
  clip.at(1).insert_or_assign(4, blobs({{320, 50, 40, 40}}));  // wholly outside the pen
  clip.at(1).insert_or_assign(5, Mask(cv::Mat1b::zeros(kFrame)));
  CoutCapture cap;
  TrackedClip& same = refine.process_video_segments(clip, "clip_dir", frames_);
  EXPECT_EQ(&same, &clip);
  EXPECT_EQ(clip.at(0).at(3), body);
  EXPECT_EQ(clip.at(1).at(3), body);
  EXPECT_TRUE(clip.at(1).at(4).empty());
  EXPECT_TRUE(clip.at(1).at(5).empty());
  EXPECT_EQ(refine.prev_centroids.size(), 1u);  // nothing recorded for the outside or empty masks
  EXPECT_EQ(refine.prev_centroids.at(3), cv::Point2d(89.5, 74.5));
  EXPECT_EQ(cap.text(), "");
}

TEST_F(CleaningPassTest, FarHistoryOnTheFirstFrameKeepsTheIncomingMaskThenLaterFramesLoseIt) {
  Mask_Refinement refine(0.3, {0.5, 1.5}, 200, pen_);
  refine.prev_centroids[3] = cv::Point2d(89.5, 74.5 + 250);  // left by an earlier pass, over 200 px from all
  TrackedClip clip;
  const Mask incoming = blobs({{50, 50, 80, 50}, {290, 200, 30, 20}});  // partly outside the pen
  clip.insert_or_assign(5, {});
  clip.at(5).insert_or_assign(3, incoming);
  clip.insert_or_assign(6, {});
  clip.at(6).insert_or_assign(3, blobs({{10, 280, 10, 10}}));  // 218 px from the new history
  CoutCapture cap;
  refine.process_video_segments(clip, "clip_dir", frames_);
  EXPECT_EQ(clip.at(5).at(3), incoming);  // outside-pen pixels included
  EXPECT_EQ(cap.text(), "clean frame6--obj_id3\nframe 6--obj_id3-- no mask\n");
  EXPECT_TRUE(clip.at(6).at(3).empty());
}

TEST_F(CleaningPassTest, EmptyClipsAndMissingPenFiles) {
  Mask_Refinement refine(0.3, {0.5, 1.5}, 200, pen_);
  TrackedClip empty;
  empty.insert_or_assign(0, {});
  empty.at(0).insert_or_assign(1, Mask(cv::Mat1b::zeros(kFrame)));
  CoutCapture cap;
  refine.process_video_segments(empty, "clip_dir", frames_);
  EXPECT_TRUE(empty.at(0).at(1).empty());
  EXPECT_TRUE(refine.prev_centroids.empty());
  Mask_Refinement missing(0.3, {0.5, 1.5}, 200, path("none.json"));
  TrackedClip clip;
  clip.insert_or_assign(0, {});
  clip.at(0).insert_or_assign(1, blobs({{5, 5, 5, 5}}));
  EXPECT_THROW(missing.process_video_segments(clip, "clip_dir", frames_), std::runtime_error);
}

// A pen file of two points used to clip every mask to a line of pixels.
TEST_F(CleaningPassTest, PenWithoutAreaStopsThePassNamingTheFile) {
  const std::string line_pen = path("line.json");
  std::ofstream(line_pen) << R"({"shapes": [{"points": [[0, 0], [399, 299]]}]})";
  Mask_Refinement refine(0.3, {0.5, 1.5}, 200, line_pen);
  TrackedClip clip;
  for (int f : {0, 1}) {
    clip.insert_or_assign(f, {});
    clip.at(f).insert_or_assign(1, blobs({{50, 50, 40, 40}}));
  }
  CoutCapture quiet;
  try {
    refine.process_video_segments(clip, "clip_dir", frames_);
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("pen polygon in '" + line_pen + "' has 2 distinct points"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(clip.at(1).at(1).area(), 1600);
}

TEST(MaskVisualTest, PutsAViridisMaskIntoTheCurrentFigure) {
  TrackedClip clip;
  clip.insert_or_assign(2, {});
  clip.at(2).insert_or_assign(9, blobs({{5, 5, 5, 5}}, {20, 10}));
  video_segments_mask_visual(clip, 2, 9);
  const auto figure = current_figure();
  ASSERT_TRUE(figure);
  ASSERT_EQ(figure->image.size(), cv::Size(20, 10));
  EXPECT_EQ(figure->image.at<cv::Vec3b>(0, 0), cv::Vec3b(84, 1, 68));     // viridis 0 (BGR)
  EXPECT_EQ(figure->image.at<cv::Vec3b>(6, 6), cv::Vec3b(37, 231, 253));  // viridis 1 (BGR)
  EXPECT_THROW(video_segments_mask_visual(clip, 3, 9), std::out_of_range);
}

}  // namespace
}  // namespace pelk
