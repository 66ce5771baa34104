#include "pelk_utils/annotation/render.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/polygon_masks.hpp"
#include "pelk_utils/annotation/testing/annotation_writer.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::slurp;
using testing::CoutCapture;
using testing::DetectionSpec;
using testing::write_annotation;

class RenderTest : public testing::ScratchDirTest {
 protected:
  std::string image(cv::Size size, const std::string& name = "frame.png") {
    const std::string p = (dir_ / name).string();
    cv::imwrite(p, cv::Mat3b(size, cv::Vec3b(40, 80, 120)));
    return p;
  }
};

const cv::Vec4b kBase(40, 80, 120, 255);

TEST_F(RenderTest, EmptyDetectionsGiveTheFrameInBgra) {
  write_annotation(path("a.json"), image({40, 30}), {});
  const cv::Mat out = retrieve_annotation(path("a.json"));
  ASSERT_EQ(out.type(), CV_8UC4);
  EXPECT_EQ(out.at<cv::Vec4b>(3, 3), kBase);
  EXPECT_EQ(cv::countNonZero(cv::Mat(out != cv::Mat(out.size(), CV_8UC4, cv::Scalar(kBase))).reshape(1)), 0);
}

TEST_F(RenderTest, SelectedDetectionsOnlyAndLaterFillReplacesEarlier) {
  write_annotation(path("a.json"), image({100, 50}),
                   {{1, {{0, 0, 50, 50}}, {"p 0 0 0.5 0 0.5 1 0 1"}},
                    {2, {{30, 0, 80, 50}}, {"p 0.3 0 0.8 0 0.8 1 0.3 1"}}});
  const cv::Mat all = retrieve_annotation(path("a.json"));
  const cv::Vec4b first_only = all.at<cv::Vec4b>(25, 10), overlap = all.at<cv::Vec4b>(25, 40),
                  second_only = all.at<cv::Vec4b>(25, 70);
  EXPECT_NE(first_only, kBase);
  EXPECT_EQ(overlap, second_only);  // replaced, not blended twice
  EXPECT_EQ(all.at<cv::Vec4b>(25, 95), kBase);

  const cv::Mat only2 = retrieve_annotation(path("a.json"), std::nullopt, false, std::vector<int>{2});
  EXPECT_EQ(only2.at<cv::Vec4b>(25, 10), kBase);
  EXPECT_NE(only2.at<cv::Vec4b>(25, 70), kBase);
  // Fill alpha 100 over an opaque frame: out = (colour * 100 + frame * 155) / 255 for some colour 0..254.
  for (int c = 0; c < 3; ++c) {
    const double colour = (only2.at<cv::Vec4b>(25, 70)[c] * 255.0 - kBase[c] * 155.0) / 100.0;
    EXPECT_GE(colour, -2.6);
    EXPECT_LE(colour, 256.6);
  }
}

// A seeded picture is reproducible, and two files that list their objects in
// the same order colour each object alike; other seeds give other colours.
TEST_F(RenderTest, SeededColoursAreReproducibleAndFollowTheObjectOrder) {
  const std::string frame = image({100, 50});
  write_annotation(path("a.json"), frame, {{1, {}, {"p 0 0 0.4 0 0.4 1 0 1"}}, {2, {}, {"p 0.6 0 1 0 1 1 0.6 1"}}});
  write_annotation(path("b.json"), frame, {{1, {}, {"p 0.1 0 0.5 0 0.5 1 0.1 1"}}, {2, {}, {"p 0.55 0 0.9 0 0.9 1 0.55 1"}}});
  const cv::Mat a = retrieve_annotation_seeded(path("a.json"), std::nullopt, true, 7);
  EXPECT_EQ(cv::norm(a, retrieve_annotation_seeded(path("a.json"), std::nullopt, true, 7), cv::NORM_INF), 0);
  const cv::Mat b = retrieve_annotation_seeded(path("b.json"), std::nullopt, true, 7);
  EXPECT_EQ(a.at<cv::Vec4b>(25, 30), b.at<cv::Vec4b>(25, 30));  // object 1 in both
  EXPECT_EQ(a.at<cv::Vec4b>(25, 85), b.at<cv::Vec4b>(25, 85));  // object 2 in both
  EXPECT_NE(a.at<cv::Vec4b>(25, 30), a.at<cv::Vec4b>(25, 85));
  EXPECT_NE(a.at<cv::Vec4b>(25, 30), retrieve_annotation_seeded(path("a.json"), std::nullopt, true, 8).at<cv::Vec4b>(25, 30));
}

TEST_F(RenderTest, BoxesOnlyWhenAskedAndOnlyTheLast) {
  write_annotation(path("a.json"), image({100, 80}),
                   {{1, {{5, 5, 20, 20}, {30, 30, 70, 70}}, {"p 0.4 0.5 0.5 0.5 0.5 0.6"}}, {2, {}, {}}});
  const cv::Mat plain = retrieve_annotation(path("a.json"));
  EXPECT_EQ(plain.at<cv::Vec4b>(50, 30), kBase);
  const cv::Mat boxed = retrieve_annotation(path("a.json"), std::nullopt, true);
  const cv::Vec4b edge = boxed.at<cv::Vec4b>(50, 30);
  EXPECT_NE(edge, kBase);
  EXPECT_EQ(boxed.at<cv::Vec4b>(50, 31), edge);  // 2 px wide
  EXPECT_EQ(boxed.at<cv::Vec4b>(50, 32), kBase);
  EXPECT_EQ(boxed.at<cv::Vec4b>(12, 5), kBase);   // earlier box not drawn
  EXPECT_EQ(boxed.at<cv::Vec4b>(28, 31), edge);   // label plate above the box
}

TEST_F(RenderTest, SavesAtomicallyAndReportsFailedWrites) {
  write_annotation(path("a.json"), image({40, 30}), {{1, {{1, 1, 5, 5}}, {"p 0 0 1 0 1 1"}}});
  const cv::Mat out = retrieve_annotation(path("a.json"), path("out.png"));
  const cv::Mat saved = cv::imread(path("out.png"), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(cv::countNonZero(cv::Mat(saved != out).reshape(1)), 0);
  EXPECT_THROW(retrieve_annotation(path("a.json"), path("missing/out.png")), std::runtime_error);
  EXPECT_NO_THROW(retrieve_annotation(path("a.json"), std::string()));  // empty path: not saved
}

TEST_F(RenderTest, MissingKeysOfSelectedDetectionsAreErrors) {
  write_annotation(path("a.json"), image({40, 30}), {{std::nullopt, {}, {}}});
  EXPECT_THROW(retrieve_annotation(path("a.json")), std::out_of_range);
}

TEST_F(RenderTest, RepairRescalesAndKeepsTheRestOfTheDocument) {
  const std::string img = image({1920, 1080});
  std::ofstream(path("a.json")) << R"({"zeta": "caf\u00e9", "image_path": ")" << img
                                << R"(", "detections": [{"object_id": 1, "formatted_polygon": ["7 0.5 0.5 0.25 1"], "extra": [1, 2]}]})";
  fix_polygon_scaling(path("a.json"));
  const std::string text = slurp(path("a.json"));
  EXPECT_EQ(text, "{\n    \"zeta\": \"caf\\u00e9\",\n    \"image_path\": \"" + img +
                      "\",\n    \"detections\": [\n        {\n            \"object_id\": 1,\n"
                      "            \"formatted_polygon\": [\n                \"7 0.281250 0.888889 0.140625 1.777778\"\n"
                      "            ],\n            \"extra\": [\n                1,\n                2\n            ]\n"
                      "        }\n    ]\n}");
}

TEST_F(RenderTest, RepairOnSquareImageOnlyReformats) {
  write_annotation(path("a.json"), image({50, 50}), {{1, {}, {"id 0.1 0.25"}}});
  fix_polygon_scaling(path("a.json"), path("b.json"));
  EXPECT_NE(slurp(path("b.json")).find("\"id 0.100000 0.250000\""), std::string::npos);
  EXPECT_NE(slurp(path("a.json")).find("\"id 0.1 0.25\""), std::string::npos);  // source untouched
}

TEST_F(RenderTest, RepairWithUnreadableImagePrintsAndWritesNothing) {
  write_annotation(path("a.json"), path("none.png"), {{1, {}, {"id 0.1 0.25"}}});
  const std::string before = slurp(path("a.json"));
  CoutCapture cap;
  fix_polygon_scaling(path("a.json"));
  EXPECT_EQ(cap.text().rfind("Error loading image: ", 0), 0u);
  EXPECT_NE(cap.text().find("none.png"), std::string::npos);
  EXPECT_EQ(slurp(path("a.json")), before);
}

TEST_F(RenderTest, FailedRepairLeavesTheOldFileIntact) {
  write_annotation(path("a.json"), image({40, 20}),
                   {{1, {}, {"id 0.1 0.25"}}, {2, {}, {"id 0.1 x"}}});  // second polygon is broken
  const std::string before = slurp(path("a.json"));
  EXPECT_THROW(fix_polygon_scaling(path("a.json")), std::invalid_argument);
  EXPECT_EQ(slurp(path("a.json")), before);
  // A target that cannot be replaced: the write fails and leaves no stray file.
  write_annotation(path("b.json"), image({40, 20}), {{1, {}, {"id 0.1 0.25"}}});
  fs::create_directories(dir_ / "blocked" / "x");
  EXPECT_THROW(fix_polygon_scaling(path("b.json"), path("blocked")), std::runtime_error);
  EXPECT_TRUE(fs::is_directory(dir_ / "blocked"));
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file();
  EXPECT_EQ(files, 3);  // frame.png, a.json, b.json
}

// Masks written with swapped normalisation (x by the height, y by the width),
// repaired, and read back are the masks that were drawn.
TEST_F(RenderTest, RepairedPolygonsReadBackAsTheOriginalMasks) {
  const cv::Size size(1000, 800);
  const std::vector<std::vector<cv::Point2d>> shapes = {
      {{100, 100}, {300, 120}, {280, 400}, {90, 380}}, {{500, 0}, {999, 0}, {999, 799}, {700, 600}}};
  std::vector<DetectionSpec> dets;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    dets.push_back({static_cast<int>(i + 1), {}, {testing::polygon_text(shapes[i], {size.height, size.width})}});
  }
  write_annotation(path("a.json"), image(size), dets);
  fix_polygon_scaling(path("a.json"));
  const PolygonMasks masks = process_json_and_generate_masks(path("a.json"), size.height, size.width);
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    cv::Mat1b expected = cv::Mat1b::zeros(size);
    std::vector<cv::Point> pts(shapes[i].begin(), shapes[i].end());
    cv::fillPoly(expected, std::vector<std::vector<cv::Point>>{pts}, cv::Scalar(1));
    EXPECT_EQ(masks.masks[i], Mask(expected)) << i;
  }
}

}  // namespace
}  // namespace pelk
