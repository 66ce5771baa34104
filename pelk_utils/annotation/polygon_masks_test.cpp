#include "pelk_utils/annotation/polygon_masks.hpp"

#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/testing/annotation_writer.hpp"
#include "pelk_utils/core/polygon_fill.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::DetectionSpec;
using testing::write_annotation;

class PolygonMasksTest : public testing::ScratchDirTest {
 protected:
  std::string write_raw(const std::string& text) const {
    std::ofstream(path("raw.json")) << text;
    return path("raw.json");
  }
};

// The full-frame reference: fill every polygon of a detection into a whole
// raster with truncated vertices.
cv::Mat1b reference(const std::vector<std::vector<double>>& polygons, int height, int width) {
  cv::Mat1b m = cv::Mat1b::zeros(height, width);
  for (const auto& coords : polygons) {
    std::vector<cv::Point> pts;
    for (std::size_t i = 0; i + 1 < coords.size(); i += 2) {
      pts.emplace_back(static_cast<int>(coords[i] * width), static_cast<int>(coords[i + 1] * height));
    }
    cv::fillPoly(m, std::vector<std::vector<cv::Point>>{pts}, cv::Scalar(1));
  }
  return m;
}

std::string text_of(const std::vector<double>& coords) {
  std::string t = "id";
  for (double c : coords) t += " " + std::to_string(c);
  return t;
}

TEST_F(PolygonMasksTest, MatchesFullFrameFillOnRandomPolygons) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> coord(-0.2, 1.2);
  std::uniform_int_distribution<int> nv(3, 12), np(0, 3);
  const int height = 47, width = 61;
  for (int trial = 0; trial < 150; ++trial) {
    std::vector<std::vector<double>> polygons;
    const int count = np(rng);
    for (int k = 0; k < count; ++k) {
      std::vector<double> c;
      const int n = nv(rng);
      for (int i = 0; i < 2 * n; ++i) c.push_back(std::stod(std::to_string(coord(rng))));
      polygons.push_back(c);
    }
    std::vector<std::string> texts;
    for (const auto& c : polygons) texts.push_back(text_of(c));
    write_annotation(path("a.json"), "img.png", {{trial + 1, {}, texts}});
    const PolygonMasks pm = process_json_and_generate_masks(path("a.json"), height, width);
    ASSERT_EQ(pm.masks.size(), 1u);
    ASSERT_EQ(pm.masks[0], Mask(reference(polygons, height, width))) << "trial " << trial;
    EXPECT_EQ(pm.boxkeys[0], trial);
  }
}

TEST_F(PolygonMasksTest, BoxNumbersEmptyPolygonsAndUnion) {
  const cv::Size s(20, 10);
  write_annotation(path("a.json"), "frames/0001.jpg",
                   {{3, {}, {}},
                    {std::nullopt, {}, {"x 0 0 0.5 0 0.5 1 0 1"}},
                    {7, {}, {"a 0 0 0.5 0 0.5 1 0 1", "b 0.25 0 1 0 1 1 0.25 1"}}});
  const PolygonMasks pm = process_json_and_generate_masks(path("a.json"), s.height, s.width);
  EXPECT_EQ(pm.image_path, "frames/0001.jpg");
  EXPECT_EQ(pm.boxkeys, (std::vector<std::int64_t>{2, -1, 6}));
  EXPECT_TRUE(pm.masks[0].empty());
  EXPECT_EQ(pm.masks[0].size(), s);
  EXPECT_EQ(pm.masks[2].area(), 200);  // union covers the frame; coordinate 1.0 is clipped
}

TEST_F(PolygonMasksTest, EmptyDetectionsGiveNoMasks) {
  write_annotation(path("a.json"), "i.png", {});
  const PolygonMasks pm = process_json_and_generate_masks(path("a.json"), 10, 10);
  EXPECT_TRUE(pm.masks.empty());
  EXPECT_TRUE(pm.boxkeys.empty());
}

struct BadCase {
  const char* name;
  std::string json;
  const char* message_part;
};

class BadAnnotationTest : public PolygonMasksTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(BadAnnotationTest, NamesFileDetectionAndProblem) {
  const std::string p = write_raw(GetParam().json);
  try {
    process_json_and_generate_masks(p, 10, 10);
    FAIL() << "expected an exception";
  } catch (const std::exception& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("raw.json"), std::string::npos) << what;
    EXPECT_NE(what.find(GetParam().message_part), std::string::npos) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadAnnotationTest,
    ::testing::Values(
        BadCase{"odd_count", R"({"image_path": "i", "detections": [{"object_id": 1, "formatted_polygon": ["p 0 0 1 1 1"]}]})", "odd number"},
        BadCase{"identifier_only", R"({"image_path": "i", "detections": [{"object_id": 1, "formatted_polygon": ["p"]}]})", "no coordinates"},
        BadCase{"empty_string", R"({"image_path": "i", "detections": [{"object_id": 1, "formatted_polygon": [""]}]})", "no coordinates"},
        BadCase{"not_a_number", R"({"image_path": "i", "detections": [{"object_id": 1, "formatted_polygon": ["p 0 0 1 x 1 1"]}]})", "'x' is not a number"},
        BadCase{"nan", R"({"image_path": "i", "detections": [{"object_id": 1, "formatted_polygon": ["p 0 0 nan 0 1 1"]}]})", "not finite"},
        BadCase{"infinite", R"({"image_path": "i", "detections": [{"object_id": 1, "formatted_polygon": ["p 0 0 inf 0 1 1"]}]})", "not finite"},
        BadCase{"pixel_overflow", R"({"image_path": "i", "detections": [{"object_id": 1, "formatted_polygon": ["p 0 0 1e9 0 1 1"]}]})", "32-bit"},
        BadCase{"second_detection", R"({"image_path": "i", "detections": [{"formatted_polygon": []}, {"object_id": 2}]})", "detection 1: missing key \"formatted_polygon\""},
        BadCase{"no_image_path", R"({"detections": []})", "\"image_path\""},
        BadCase{"no_detections", R"({"image_path": "i"})", "\"detections\""},
        BadCase{"not_json", R"({"image_path": )", "not valid JSON"}),
    [](const auto& info) { return std::string(info.param.name); });

// A frame size beyond any camera's (a typo, a hostile caller): a polygon
// over the whole frame is refused before anything is allocated, naming the
// file, the size and the bound; a small one stays a small packed mask.
struct EnormousCase {
  const char* name;
  int side;
  const char* polygon;
  bool refused;
};

class EnormousFrameTest : public PolygonMasksTest, public ::testing::WithParamInterface<EnormousCase> {};

TEST_P(EnormousFrameTest, RefusedBeforeAllocatingOrPacked) {
  const EnormousCase& c = GetParam();
  const std::string p = write_raw(std::string(R"({"image_path": "i", "detections": [{"object_id": 1, "formatted_polygon": [")") +
                                  c.polygon + "\"]}]}");
  if (!c.refused) {
    const PolygonMasks m = process_json_and_generate_masks(p, c.side, c.side);
    ASSERT_EQ(m.masks.size(), 1u);
    EXPECT_EQ(m.masks[0].size(), cv::Size(c.side, c.side));
    EXPECT_LE(m.masks[0].bounds().area(), 100);
    return;
  }
  try {
    process_json_and_generate_masks(p, c.side, c.side);
    FAIL() << "an enormous mask was made";
  } catch (const MaskTooLarge& e) {
    const std::string side = std::to_string(c.side);
    EXPECT_NE(std::string(e.what()).find("raw.json', detection 0: a mask of "), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(" is beyond the 1073741824 pixels (2^30)"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("(the frame is " + side + " x " + side + ")"), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, EnormousFrameTest,
    ::testing::Values(EnormousCase{"int_max_whole_frame", 2147483647, "p 0 0 1 0 1 1 0 1", true},
                      EnormousCase{"int_max_tiny", 2147483647, "p 0 0 0.000000002 0 0.000000002 0.000000002", false},
                      EnormousCase{"typo_100000_whole_frame", 100000, "p 0 0 1 0 1 1 0 1", true},
                      EnormousCase{"just_fits", 32768, "p 0 0 0.0001 0 0.0001 0.0001", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PolygonMasksTest, MissingFileIsRuntimeError) {
  EXPECT_THROW(process_json_and_generate_masks(path("none.json"), 10, 10), std::runtime_error);
}

}  // namespace
}  // namespace pelk
