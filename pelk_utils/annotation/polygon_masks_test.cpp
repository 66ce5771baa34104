#include "pelk_utils/annotation/polygon_masks.hpp"

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/internal/full_masks_reader.hpp"
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

namespace pelk {
namespace {

struct Document {
  const char* name;
  std::string text;
};

// The fast road and the full reader give one answer for every document:
// the same masks, keys and image, or the same error. The odd cases are
// those where JSON readers differ (a key twice, a whole number written as a
// float, escapes, a byte-order mark, depth, bad bytes in a field nobody reads).
class ReadersAgreeTest : public PolygonMasksTest, public ::testing::WithParamInterface<Document> {};

TEST_P(ReadersAgreeTest, OnEveryDocument) {
  const std::string file = write_raw(GetParam().text);
  const auto outcome = [&](const std::function<PolygonMasks()>& read) {
    try {
      const PolygonMasks m = read();
      std::string text = "image " + m.image_path;
      for (std::size_t i = 0; i < m.masks.size(); ++i) {
        text += "; box " + std::to_string(m.boxkeys[i]) + " area " + std::to_string(m.masks[i].area()) + " at " +
                std::to_string(m.masks[i].bounds().x) + "," + std::to_string(m.masks[i].bounds().y);
      }
      return text;
    } catch (const std::exception& e) {
      return std::string("error: ") + e.what();
    }
  };
  const std::string fast = outcome([&] { return process_json_and_generate_masks(file, 100, 120); });
  EXPECT_EQ(fast, outcome([&] { return internal::masks_by_full_reader(file, 100, 120); }));
  EXPECT_FALSE(fast.empty());
}

const std::string kPolygon = R"("p 0.1 0.1 0.5 0.1 0.5 0.6")";

INSTANTIATE_TEST_SUITE_P(
    Documents, ReadersAgreeTest,
    ::testing::Values(
        Document{"plain", R"({"image_path": "a.jpg", "detections": [{"object_id": 3, "formatted_polygon": [)" + kPolygon + "]}]}"},
        Document{"other_fields_and_order", R"({"x": [1, {"y": null}], "detections": [{"formatted_polygon": [)" + kPolygon +
                                               R"(], "score": 0.9, "object_id": 2}], "image_path": "a.jpg", "z": true})"},
        Document{"no_object_id", R"({"image_path": "a.jpg", "detections": [{"formatted_polygon": [)" + kPolygon + "]}]}"},
        Document{"detections_twice", R"({"image_path": "a.jpg", "detections": [], "detections": [{"object_id": 1, "formatted_polygon": [)" +
                                         kPolygon + "]}]}"},
        Document{"object_id_twice", R"({"image_path": "a.jpg", "detections": [{"object_id": 1, "object_id": 5, "formatted_polygon": [)" +
                                        kPolygon + "]}]}"},
        Document{"object_id_as_float", R"({"image_path": "a.jpg", "detections": [{"object_id": 4.0, "formatted_polygon": [)" + kPolygon + "]}]}"},
        Document{"object_id_fraction", R"({"image_path": "a.jpg", "detections": [{"object_id": 4.5, "formatted_polygon": [)" + kPolygon + "]}]}"},
        Document{"object_id_text", R"({"image_path": "a.jpg", "detections": [{"object_id": "4", "formatted_polygon": [)" + kPolygon + "]}]}"},
        Document{"object_id_huge", R"({"image_path": "a.jpg", "detections": [{"object_id": 1e30, "formatted_polygon": [)" + kPolygon + "]}]}"},
        Document{"object_id_zero", R"({"image_path": "a.jpg", "detections": [{"object_id": 0, "formatted_polygon": [)" + kPolygon + "]}]}"},
        Document{"escapes", R"({"image_path": "d\u00e9j\u00e0\/a.jpg", "detections": [{"object_id": 1, "formatted_polygon": ["p 0.1 0\u002e1 0.5 0.1 0.5 0.6"]}]}")"},
        Document{"byte_order_mark", "\xEF\xBB\xBF" R"({"image_path": "a.jpg", "detections": []})"},
        Document{"polygon_not_text", R"({"image_path": "a.jpg", "detections": [{"object_id": 1, "formatted_polygon": [)" + kPolygon + ", 7]}]}"},
        Document{"bad_polygon_then_bad_type", R"({"image_path": "a.jpg", "detections": [{"object_id": 1, "formatted_polygon": ["p x"]}, {"formatted_polygon": 3}]})"},
        Document{"image_path_not_text", R"({"image_path": 5, "detections": []})"},
        Document{"top_level_array", R"([{"image_path": "a.jpg", "detections": []}])"},
        Document{"trailing_garbage", R"({"image_path": "a.jpg", "detections": []} x)"},
        Document{"bad_bytes_unread_field", "{\"note\": \"\xC3\x28\", \"image_path\": \"a.jpg\", \"detections\": []}"},
        Document{"deep_unread_field", "{\"note\": " + std::string(300, '[') + std::string(300, ']') + R"(, "image_path": "a.jpg", "detections": []})"},
        Document{"deeper_than_the_fast_road", "{\"note\": " + std::string(150, '[') + std::string(150, ']') + R"(, "image_path": "a.jpg", "detections": []})"},
        Document{"lone_surrogate", R"({"image_path": "\ud800.jpg", "detections": []})"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pelk
