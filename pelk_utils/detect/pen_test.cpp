#include "pelk_utils/detect/pen.hpp"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <thread>
#include <fstream>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;

class PenFileTest : public testing::ScratchDirTest {
 protected:

  std::string write(const std::string& name, const std::string& text) const {
    const fs::path p = dir_ / name;
    std::ofstream(p) << text;
    return p.string();
  }
  std::string square_pen() const {
    return write("pen.json", R"({"version": "5", "shapes": [{"label": "pen", "points": [[0, 0], [100, 0], [100, 100], [0, 100]]}]})");
  }

};

struct PathCase {
  const char* name;
  std::string video_dir;
  std::optional<std::string> custom;
  std::optional<std::string> expected;
};

class PenJsonPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PenJsonPathTest, Resolves) {
  EXPECT_EQ(get_pen_json_path(GetParam().video_dir, GetParam().custom), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, PenJsonPathTest,
    ::testing::Values(
        PathCase{"known_camera", "D:\\data\\Camera62_20240405\\clip1", std::nullopt, "pen_polygons/Cam62.json"},
        PathCase{"camera_without_table_entry", "D:\\data\\Camera63_20240405\\clip1", std::nullopt, std::nullopt},
        PathCase{"forward_slashes_separate_too", "D:/data/Camera62_20240405/clip1", std::nullopt,
                 "pen_polygons/Cam62.json"},
        PathCase{"linux_frames_path", "frames/20240405/Camera62_1_20240405070000/0min_to_0.1min/right_cropped_frames",
                 std::nullopt, "pen_polygons/Cam62.json"},
        PathCase{"mixed_separators", "D:\\data/Camera64_20240405\\clip1", std::nullopt, "pen_polygons/Cam64.json"},
        PathCase{"linux_unknown_camera", "/data/Camera63_1_20240405070000/clip", std::nullopt, std::nullopt},
        PathCase{"component_without_underscore", "x\\Camera70\\y", std::nullopt, "pen_polygons/Cam70.json"},
        PathCase{"first_camera_component_wins", "Camera61_a\\Camera62_b", std::nullopt, "pen_polygons/Cam61.json"},
        PathCase{"no_camera", "D:\\data\\clip1", std::nullopt, std::nullopt},
        PathCase{"custom_wins_over_table", "D:\\Camera62_1\\c", "my.json", "my.json"},
        PathCase{"empty_custom_is_given", "D:\\Camera62_1\\c", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A double click leaves a spike or a bow tie in the outline. Reading,
// drawing and clipping masks work on it as drawn; only the area ratio, which
// needs a valid polygon, refuses it.
TEST_F(PenFileTest, OutlineValidityIsCheckedOnlyByTheRatio) {
  const std::string path = write("bowtie.json", R"({"shapes": [{"points": [[0, 0], [10, 10], [10, 0], [0, 10]]}]})");
  const PenPolygon pen = draw_pen("x.jpg", path).polygon_points;
  EXPECT_EQ(pen.size(), 4u);
  const Mask clipped = get_in_pen_mask(0, Mask(cv::Mat1b(12, 12, uchar{1})), path, {"x.jpg"});
  EXPECT_GT(clipped.area(), 0);
  try {
    calculate_pen_intersection_ratio(pen, {{0, 0, 1, 1}}, 40);
    FAIL() << "expected an invalid polygon error";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("invalid pen polygon"), std::string::npos) << e.what();
  }
  const std::string two = write("two.json", R"({"shapes": [{"points": [[0, 0], [1, 1]]}]})");
  EXPECT_EQ(draw_pen("x.jpg", two).polygon_points.size(), 2u);
  EXPECT_THROW(calculate_pen_intersection_ratio(draw_pen("x.jpg", two).polygon_points, {{0, 0, 1, 1}}, 40),
               std::invalid_argument);
}

TEST_F(PenFileTest, RefusesFilesThatAreNotRegular) {
  EXPECT_THROW(draw_pen("x.jpg", dir_.string()), std::runtime_error);
  try {
    draw_pen("x.jpg", "/dev/zero");
    FAIL() << "expected an error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("'/dev/zero' is not a regular file"), std::string::npos) << e.what();
  }
}

TEST_F(PenFileTest, ReadsFirstShapeKeepingNumberTypes) {
  const std::string path = write("p.json", R"({"shapes": [{"points": [[1, 2.5], [10, 2], [10.75, 20]]},
                                                         {"points": [[0, 0], [1, 1], [0, 1]]}]})");
  const PenDrawing pen = draw_pen("not-opened.jpg", path);
  EXPECT_TRUE(pen.image.empty());
  ASSERT_EQ(pen.polygon_points.size(), 3u);
  EXPECT_TRUE(pen.polygon_points[0].x.is_integer());
  EXPECT_FALSE(pen.polygon_points[0].y.is_integer());
  EXPECT_EQ(pen.polygon_points[2].x.text(), "10.75");
}

struct BadPenCase {
  const char* name;
  std::string content;
  const char* message_part;
  enum Kind { kInvalid, kMissingKey } kind;
  friend void PrintTo(const BadPenCase& c, std::ostream* os) { *os << c.name << " (expects '" << c.message_part << "')"; }
};

class BadPenFileTest : public PenFileTest, public ::testing::WithParamInterface<BadPenCase> {};

TEST_P(BadPenFileTest, FailsWithClearError) {
  const std::string path = write("bad.json", GetParam().content);
  try {
    draw_pen("x.jpg", path);
    FAIL() << "expected an exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(GetParam().kind, BadPenCase::kInvalid) << e.what();
    EXPECT_NE(std::string(e.what()).find(GetParam().message_part), std::string::npos) << e.what();
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(GetParam().kind, BadPenCase::kMissingKey) << e.what();
    EXPECT_NE(std::string(e.what()).find(GetParam().message_part), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadPenFileTest,
    ::testing::Values(
        BadPenCase{"empty_shapes", R"({"shapes": []})", "No shapes found in the JSON file.", BadPenCase::kInvalid},
        BadPenCase{"not_json", "{shapes", "bad.json", BadPenCase::kInvalid},
        BadPenCase{"no_shapes_key", R"({"points": []})", "bad.json", BadPenCase::kMissingKey},
        BadPenCase{"no_points_key", R"({"shapes": [{"label": "pen"}]})", "bad.json", BadPenCase::kMissingKey},
        BadPenCase{"point_not_a_pair", R"({"shapes": [{"points": [[0, 0], [1], [1, 1]]}]})", "point 1",
                   BadPenCase::kInvalid},
        BadPenCase{"point_not_numbers", R"({"shapes": [{"points": [[0, 0], ["a", 1], [1, 1]]}]})", "bad.json",
                   BadPenCase::kInvalid},
        // Hostile files: deep nesting in an ignored key, a number beyond the
        // double range, a coordinate beyond 64 bits that would wrap to -1.
        BadPenCase{"deep_nesting", "{\"x\": " + std::string(100000, '[') + std::string(100000, ']') + "}",
                   "bad.json' nests", BadPenCase::kInvalid},
        BadPenCase{"number_overflow", R"({"shapes": [{"points": [[1e400, 0], [1, 1], [0, 1]]}]})",
                   "bad.json' is not valid JSON", BadPenCase::kInvalid},
        BadPenCase{"coordinate_beyond_64_bits",
                   R"({"shapes": [{"points": [[18446744073709551615, 0], [1, 1], [0, 1]]}]})",
                   "18446744073709551615 is outside the signed 64-bit range", BadPenCase::kInvalid}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PenFileTest, MissingFileNamesThePath) {
  try {
    draw_pen("x.jpg", (dir_ / "absent.json").string());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("absent.json"), std::string::npos);
  }
}

class DrawoutTest : public PenFileTest, public ::testing::WithParamInterface<int> {};

// The outline is drawn in red on a 3-channel picture whatever the file holds.
TEST_P(DrawoutTest, DrawsRedOutlineOnBgrImage) {
  const int channels = GetParam();
  cv::Mat image(120, 120, CV_8UC(channels), cv::Scalar::all(40));
  const std::string image_path = (dir_ / "frame.png").string();
  cv::imwrite(image_path, image);
  const PenDrawing pen = draw_pen(image_path, square_pen(), true);
  ASSERT_EQ(pen.image.type(), CV_8UC3);
  EXPECT_EQ(pen.image.at<cv::Vec3b>(0, 50), cv::Vec3b(0, 0, 255));   // top edge
  EXPECT_EQ(pen.image.at<cv::Vec3b>(50, 101), cv::Vec3b(0, 0, 255));  // right edge, 3 px wide
  EXPECT_EQ(pen.image.at<cv::Vec3b>(50, 50), cv::Vec3b(40, 40, 40));  // inside untouched
  EXPECT_EQ(pen.image.at<cv::Vec3b>(50, 103), cv::Vec3b(40, 40, 40));
  EXPECT_EQ(pen.polygon_points.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(ColourModes, DrawoutTest, ::testing::Values(1, 3, 4));

TEST_F(PenFileTest, DrawoutWithUnreadableImageNamesIt) {
  EXPECT_THROW(draw_pen((dir_ / "none.png").string(), square_pen(), true), std::runtime_error);
}

TEST_F(PenFileTest, InPenRatiosAndThresholdIsInclusive) {
  const PenPolygon pen = draw_pen("", square_pen()).polygon_points;
  const PenRatios r = calculate_pen_intersection_ratio(pen,
                                                       {
                                                           {60, 0, 160, 10},    // 40 % inside
                                                           {100, 0, 200, 10},   // touches the edge only
                                                           {10, 10, 20, 20},    // inside
                                                           {59.5, 0, 160, 10},  // just above 40 %
                                                       },
                                                       40);
  ASSERT_EQ(r.intersection_ratio_list.size(), 4u);
  EXPECT_DOUBLE_EQ(r.intersection_ratio_list[0], 40.0);
  EXPECT_DOUBLE_EQ(r.intersection_ratio_list[1], 0.0);
  EXPECT_DOUBLE_EQ(r.intersection_ratio_list[2], 100.0);
  EXPECT_EQ(r.in_pen_index, (std::vector<bool>{true, false, true, true}));
  EXPECT_TRUE(calculate_pen_intersection_ratio(pen, {}, 40).in_pen_index.empty());
}

TEST_F(PenFileTest, ZeroAreaAndNonFiniteBoxesAreNamed) {
  const PenPolygon pen = draw_pen("", square_pen()).polygon_points;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::pair<Box, std::string>> cases = {
      {{5, 5, 5, 20}, "box 1 [5.0, 5.0, 5.0, 20.0] has zero area"},
      {{nan, 5, 8, 20}, "box 1 [nan, 5.0, 8.0, 20.0] has a corner that is not a number"},
      {{2, 5, nan, 20}, "box 1 [2.0, 5.0, nan, 20.0] has a corner that is not a number"},
      {{0, 5, 1e308 * 10, 20}, "box 1 [0.0, 5.0, inf, 20.0] has a non-finite corner"}};
  for (const auto& [box, message] : cases) {
    try {
      calculate_pen_intersection_ratio(pen, {{0, 0, 10, 10}, box}, 40);
      ADD_FAILURE() << message;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

TEST_F(PenFileTest, DrawingAFarOutsideVertexNamesTheFile) {
  const std::string path = write("far.json", R"({"shapes": [{"points": [[0, 0], [1e12, 0], [0, 10]]}]})");
  const std::string image = write("frame.png", "");
  cv::imwrite(image, cv::Mat3b(10, 10, cv::Vec3b(1, 2, 3)));
  try {
    draw_pen(image, path, true);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("point 1 in '" + path + "' lies too far outside"), std::string::npos) << e.what();
  }
}

// Outlines that enclose no area. Used as an area (a fill or a ratio) they
// would clear every mask of a clip, so each use refuses them, naming the file.
struct NoAreaCase {
  const char* name;
  const char* points;    // the "points" array of the pen file
  const char* message;   // after "pen polygon in '<file>' "
  bool ratio_refuses;    // the file's own coordinates enclose no area either
  friend void PrintTo(const NoAreaCase& c, std::ostream* os) { *os << c.name << " " << c.points; }
};

class NoAreaPenTest : public PenFileTest, public ::testing::WithParamInterface<NoAreaCase> {};

TEST_P(NoAreaPenTest, AreaUsesRefuseItNamingTheFile) {
  const std::string path = write("pen.json", std::string(R"({"shapes": [{"points": )") + GetParam().points + "}]}");
  const std::string expected = "pen polygon in '" + path + "' " + GetParam().message;
  for (const Mask& mask : {Mask(cv::Mat1b(40, 40, uchar{1})), Mask(cv::Mat1b::zeros(40, 40))}) {
    try {
      get_in_pen_mask(0, mask, path, {"f.jpg"});
      ADD_FAILURE() << "expected an error";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
  const PenPolygon pen = draw_pen("f.jpg", path).polygon_points;  // reading alone still works
  EXPECT_EQ(GetParam().ratio_refuses, [&] {
    try {
      check_pen_area(pen, path);
      calculate_pen_intersection_ratio(pen, {{0, 0, 10, 10}}, 40);
      return false;
    } catch (const std::invalid_argument&) {
      return true;
    }
  }());
}

INSTANTIATE_TEST_SUITE_P(
    Outlines, NoAreaPenTest,
    ::testing::Values(
        NoAreaCase{"no_points", "[]", "has 0 distinct points; a polygon needs at least 3", true},
        NoAreaCase{"one_point", "[[5, 5]]", "has 1 distinct points; a polygon needs at least 3", true},
        NoAreaCase{"two_points", "[[0, 0], [30, 30]]", "has 2 distinct points; a polygon needs at least 3", true},
        NoAreaCase{"last_repeats_first", "[[0, 0], [30, 0], [0, 0]]", "has 2 distinct points", true},
        NoAreaCase{"on_one_line", "[[0, 0], [10, 10], [30, 30], [20, 20]]", "encloses no area: its points lie on one line",
                   true},
        NoAreaCase{"two_points_back_and_forth", "[[0, 0], [10, 10], [0, 0], [10, 10], [0, 0]]",
                   "has 2 distinct points", true},
        NoAreaCase{"one_pixel_once_truncated", "[[0.2, 0.3], [0.7, 0.1], [0.9, 0.9]]", "has 1 distinct points",
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PenRatioTest, NoAreaPolygonWithoutAFileSaysSo) {
  try {
    calculate_pen_intersection_ratio({{0, 0}, {10, 10}}, {{0, 0, 1, 1}}, 40);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "pen polygon has 2 distinct points; a polygon needs at least 3");
  }
}

// A hostile pen file of a million vertices (a circle): the ratios are right
// and come within a generous bound (the benchmark times them; a cost that
// grows with the square of the vertices took minutes here).
TEST(PenRatioTest, MillionVertexPenGivesTheCircleRatiosPromptly) {
  constexpr int kVertices = 1'000'000;
  const double cx = 1000, cy = 700, r = 600;
  PenPolygon pen;
  for (int i = 0; i < kVertices; ++i) {
    const double a = 2 * M_PI * i / kVertices;
    pen.push_back({Number(cx + r * std::cos(a)), Number(cy + r * std::sin(a))});
  }
  // Inside, outside, and the right half of a square centred on the rim.
  const std::vector<Box> boxes = {{900, 600, 1100, 800}, {0, 0, 100, 100}, {cx + r - 50, cy - 50, cx + r + 50, cy + 50}};
  auto result = std::make_shared<std::promise<PenRatios>>();
  std::future<PenRatios> done = result->get_future();
  std::thread([pen, boxes, result] {
    try {
      result->set_value(calculate_pen_intersection_ratio(pen, boxes, 50));
    } catch (...) {
      result->set_exception(std::current_exception());
    }
  }).detach();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(120)), std::future_status::ready) << "quadratic in the vertices?";
  const PenRatios ratios = done.get();
  EXPECT_NEAR(ratios.intersection_ratio_list[0], 100, 1e-9);
  EXPECT_EQ(ratios.intersection_ratio_list[1], 0);
  // The rim cuts the box through its middle, bulging out: a little under half lies inside.
  EXPECT_GT(ratios.intersection_ratio_list[2], 45);
  EXPECT_LT(ratios.intersection_ratio_list[2], 50);
  EXPECT_EQ(ratios.in_pen_index, (std::vector<bool>{true, false, false}));
}

TEST(PenRatioTest, InvalidPolygonIsRejected) {
  const PenPolygon bowtie{{0, 0}, {10, 10}, {10, 0}, {0, 10}};
  EXPECT_THROW(calculate_pen_intersection_ratio(bowtie, {{0, 0, 1, 1}}, 40), std::invalid_argument);
}

// The pen clip of a mask equals the full-frame computation: fill the
// truncated polygon over the whole frame and AND it with the mask.
TEST_F(PenFileTest, InPenMaskMatchesFullFrameFill) {
  std::mt19937 rng(5);
  const cv::Size frame(90, 70);
  std::uniform_real_distribution<double> xs(-20, 110), ys(-20, 90);
  std::uniform_int_distribution<int> cx(0, 89), cy(0, 69), r(0, 30);
  for (int trial = 0; trial < 150; ++trial) {
    std::vector<cv::Point2d> pts;
    // A star-shaped polygon around a centre is always valid.
    const double ox = xs(rng), oy = ys(rng);
    for (int k = 0; k < 7; ++k) {
      const double a = k * 2 * CV_PI / 7, rad = 5 + r(rng) * 2.0;
      pts.emplace_back(ox + rad * std::cos(a), oy + rad * std::sin(a));
    }
    std::string json = R"({"shapes": [{"points": [)";
    std::vector<cv::Point> truncated;
    for (std::size_t i = 0; i < pts.size(); ++i) {
      json += (i ? ", [" : "[") + std::to_string(pts[i].x) + ", " + std::to_string(pts[i].y) + "]";
      truncated.emplace_back(static_cast<int>(std::stod(std::to_string(pts[i].x))),
                             static_cast<int>(std::stod(std::to_string(pts[i].y))));
    }
    const std::string path = write("star.json", json + "]}]}");

    cv::Mat1b mask = cv::Mat1b::zeros(frame);
    cv::ellipse(mask, {cx(rng), cy(rng)}, {r(rng) + 1, r(rng) + 1}, 0, 0, 360, 1, cv::FILLED);
    cv::Mat1b pen = cv::Mat1b::zeros(frame);
    cv::fillPoly(pen, std::vector<std::vector<cv::Point>>{truncated}, cv::Scalar(1));
    const Mask expected(mask & pen);

    ASSERT_EQ(get_in_pen_mask(0, Mask(mask), path, {"f0.jpg"}), expected) << "trial " << trial;
  }
}

TEST_F(PenFileTest, InPenMaskChecksFrameIndex) {
  const Mask m(cv::Mat1b::ones(5, 5));
  EXPECT_THROW(get_in_pen_mask(3, m, square_pen(), {"a.jpg"}), std::out_of_range);
  EXPECT_EQ(get_in_pen_mask(-1, m, square_pen(), {"a.jpg"}).area(), 25);
}

}  // namespace
}  // namespace pelk
