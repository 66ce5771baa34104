#include "pelk_utils/core/drawing.hpp"

#include <gtest/gtest.h>

#include "pelk_utils/core/py_text.hpp"

namespace pelk {
namespace {

TEST(PositionColourTest, MatchesTheColoursUsersKnow) {
  EXPECT_EQ(position_colour(0), (Rgb{102, 179, 92}));
  EXPECT_EQ(position_colour(1), (Rgb{68, 64, 255}));
  EXPECT_EQ(position_colour(2), position_colour(2));
  EXPECT_NE(position_colour(2), position_colour(1));
  EXPECT_EQ(to_bgra(Rgb{1, 2, 3}, 128), cv::Scalar(3, 2, 1, 128));
}

TEST(CompositeOverTest, HalfTransparentColourOverOpaqueFrame) {
  cv::Mat base(4, 4, CV_8UC4, cv::Scalar(10, 20, 30, 255));
  cv::Mat out = base.clone();
  cv::Mat1b m = cv::Mat1b::zeros(4, 4);
  m(1, 2) = 1;
  composite_over(out, base, Mask(m), Rgb{200, 100, 0}, 128);
  // (colour * 128 + frame * 127) / 255, rounded; B, G, R order.
  EXPECT_EQ(out.at<cv::Vec4b>(1, 2), cv::Vec4b(5, 60, 115, 255));
  EXPECT_EQ(out.at<cv::Vec4b>(0, 0), cv::Vec4b(10, 20, 30, 255));
}

TEST(ToBgraImageTest, ConvertsEveryColourMode) {
  EXPECT_EQ(to_bgra_image(cv::Mat1b(2, 2, 7)).at<cv::Vec4b>(0, 0), cv::Vec4b(7, 7, 7, 255));
  EXPECT_EQ(to_bgra_image(cv::Mat3b(2, 2, cv::Vec3b(1, 2, 3))).at<cv::Vec4b>(1, 1), cv::Vec4b(1, 2, 3, 255));
  EXPECT_THROW(to_bgra_image(cv::Mat1f(2, 2)), std::invalid_argument);
}

TEST(LabelFontTest, FindsAFontAndMeasuresText) {
  const LabelFont& font = LabelFont::get();
  EXPECT_EQ(&font, &LabelFont::get());
  const cv::Size s = font.text_size("Box3", 11);
  EXPECT_GT(s.width, 10);
  EXPECT_GT(s.height, 4);
  EXPECT_LT(s.height, 15);
}

TEST(LabelPlateTest, PlateSitsAboveTheCorner) {
  cv::Mat img(60, 80, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  draw_label_plate(img, {10, 40}, "Box3", cv::Scalar(255, 0, 0, 255), cv::Scalar(255, 255, 255, 255));
  const cv::Size text = LabelFont::get().text_size("Box3", 11);
  // The plate's lower-left corner is just above (10, 40); below it nothing is drawn.
  EXPECT_EQ(img.at<cv::Vec4b>(39, 10), cv::Vec4b(255, 0, 0, 255));
  EXPECT_EQ(img.at<cv::Vec4b>(41, 10), cv::Vec4b(0, 0, 0, 255));
  EXPECT_EQ(img.at<cv::Vec4b>(40 - text.height - 4 - 1, 10), cv::Vec4b(0, 0, 0, 255));
  // White text pixels lie inside the plate.
  cv::Mat white;
  cv::inRange(img, cv::Scalar(200, 200, 200, 255), cv::Scalar(255, 255, 255, 255), white);
  EXPECT_GT(cv::countNonZero(white), 5);
  EXPECT_EQ(cv::countNonZero(white(cv::Rect(0, 41, 80, 19))), 0);
}

struct NumpyIntCase {
  std::vector<int> values;
  std::string text;
};

class NumpyIntTest : public ::testing::TestWithParam<NumpyIntCase> {};

TEST_P(NumpyIntTest, Prints) { EXPECT_EQ(numpy_array_text(GetParam().values), GetParam().text); }

std::vector<int> range(int n) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back(i);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, NumpyIntTest,
    ::testing::Values(NumpyIntCase{{0, 1, 2, 4}, "[0 1 2 4]"}, NumpyIntCase{{}, "[]"},
                      NumpyIntCase{{0, 5, 11}, "[ 0  5 11]"},
                      NumpyIntCase{range(30),
                                   "[ 0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15 16 17 18 19 20 21 22 23\n"
                                   " 24 25 26 27 28 29]"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(NumpyFloatTest, PrintsFloat32ArraysAsNumpyDoes) {
  EXPECT_EQ(numpy_array_text(std::vector<float>{0.5f, 0.25f}), "[0.5  0.25]");
  EXPECT_EQ(numpy_array_text(std::vector<float>{1.0f, 0.0f}), "[1. 0.]");
  EXPECT_EQ(numpy_array_text(std::vector<float>{0.1f}), "[0.1]");
  // 0.51234567f is told apart by 7 decimals; 0.012345678f needs 9 and is rounded to 8.
  EXPECT_EQ(numpy_array_text(std::vector<float>{0.51234567f, 0.012345678f}), "[0.5123457  0.01234568]");
  EXPECT_EQ(numpy_array_text(std::vector<float>{}), "[]");
}

}  // namespace
}  // namespace pelk
