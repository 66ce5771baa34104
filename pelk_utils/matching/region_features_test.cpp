#include "pelk_utils/matching/region_features.hpp"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/dark_text.hpp"
#include "pelk_utils/models/testing/fake_models.hpp"
#include "pelk_utils/models/testing/test_encoder.hpp"

namespace pelk {
namespace {

TEST(DarkTextTest, GammaTableTruncatesAndZeroGammaFailsFirst) {
  const cv::Mat1b table = dark_text_gamma_table(1.5);
  EXPECT_EQ(table(0, 0), 0);
  EXPECT_EQ(table(0, 64), 101);
  EXPECT_EQ(table(0, 128), 161);
  EXPECT_EQ(table(0, 255), 255);
  const cv::Mat1b identity = dark_text_gamma_table(1);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(identity(0, i), i);
  try {
    enhance_dark_text(cv::Mat(), 0);  // not even an image: the division fails first
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("float division by zero"), std::string::npos);
  }
}

TEST(DarkTextTest, GreyPathLutAndEqualisation) {
  cv::Mat3b image(20, 30);
  cv::randu(image, 0, 255);
  cv::Mat grey, mapped, expected;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  cv::LUT(grey, dark_text_gamma_table(1.5), mapped);
  cv::equalizeHist(mapped, expected);
  const cv::Mat got = enhance_dark_text(image);
  ASSERT_EQ(got.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(got != expected), 0);
  const cv::Mat uniform = enhance_dark_text(cv::Mat3b(8, 8, cv::Vec3b(90, 90, 90)));
  double lo = 0, hi = 0;
  cv::minMaxLoc(uniform, &lo, &hi);
  EXPECT_EQ(lo, hi);
}

Mask rect_mask(cv::Size frame, cv::Rect r) {
  cv::Mat1b m = cv::Mat1b::zeros(frame);
  m(r).setTo(1);
  return Mask(m);
}

TEST(RegionInputTest, CropExcludesLastRowAndColumnAndBlanksOutsideTheMask) {
  const cv::Size frame(300, 280);
  cv::Mat3b image(frame);
  cv::randu(image, 0, 255);
  // A 257 x 257 mask gives a 256 x 256 window: the resize is then the identity.
  cv::Mat1b m = cv::Mat1b::zeros(frame);
  m(cv::Rect(10, 5, 257, 257)).setTo(1);
  m(cv::Rect(10, 5, 40, 40)).setTo(0);  // a hole that must come out black
  const auto input = region_encoder_input(image, Mask(m), torch::kCPU);
  ASSERT_TRUE(input);
  ASSERT_EQ(input->sizes(), (std::vector<int64_t>{1, 3, 256, 256}));
  const cv::Mat enhanced = enhance_dark_text(image(cv::Rect(10, 5, 256, 256)), 10);
  const auto a = input->accessor<float, 4>();
  for (int y = 0; y < 256; y += 17) {
    for (int x = 0; x < 256; x += 13) {
      const float expected = (x < 40 && y < 40) ? 0.f : enhanced.at<uchar>(y, x) / 255.f;
      for (int c = 0; c < 3; ++c) ASSERT_NEAR(a[0][c][y][x], expected, 1e-6) << x << "," << y;
    }
  }
}

TEST(RegionInputTest, SmallAndThinMasksHaveNoInput) {
  const cv::Size frame(40, 40);
  const cv::Mat3b image(frame, cv::Vec3b(100, 150, 200));
  EXPECT_FALSE(region_encoder_input(image, rect_mask(frame, {2, 2, 3, 3}), torch::kCPU));   // 9 pixels
  EXPECT_TRUE(region_encoder_input(image, rect_mask(frame, {2, 2, 5, 2}), torch::kCPU));    // 10 pixels
  EXPECT_FALSE(region_encoder_input(image, rect_mask(frame, {2, 2, 1, 30}), torch::kCPU));  // one pixel wide
  EXPECT_FALSE(region_encoder_input(image, rect_mask(frame, {2, 2, 30, 1}), torch::kCPU));  // one pixel high
}

TEST(RegionFeaturesTest, OneVectorPerUsableMaskFromTheEncoder) {
  testing::GridStatsEncoder encoder;
  testing::FakePredictor predictor;
  predictor.encoder = &encoder;
  const cv::Size frame(60, 50);
  cv::Mat3b image(frame);
  cv::randu(image, 0, 255);
  const auto features = generate_sam2_image_features(
      image, {rect_mask(frame, {0, 0, 20, 20}), rect_mask(frame, {30, 30, 3, 3}), rect_mask(frame, {25, 5, 30, 40})},
      predictor);
  ASSERT_EQ(features.size(), 3u);
  EXPECT_EQ(predictor.set_image_calls, 1);
  EXPECT_EQ(predictor.image_size, frame);
  EXPECT_EQ(encoder.calls, 2);
  ASSERT_TRUE(features[0] && features[2]);
  EXPECT_FALSE(features[1]);
  EXPECT_EQ(features[0]->sizes(), (std::vector<int64_t>{6}));
  EXPECT_EQ(encoder.inputs[0].sizes(), (std::vector<int64_t>{1, 3, 256, 256}));
  EXPECT_LE(encoder.inputs[0].max().item<float>(), 1.f);
  EXPECT_GE(encoder.inputs[0].min().item<float>(), 0.f);

  const cv::Mat1d self = cosine_scores_cal(features, features);
  EXPECT_NEAR(self(0, 0), 1.0, 1e-12);
  EXPECT_NEAR(self(2, 2), 1.0, 1e-12);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(self(1, i), -INFINITY);
    EXPECT_EQ(self(i, 1), -INFINITY);
  }
}

TEST(CosineScoresTest, NullColumnsZeroVectorsAndEmptyLists) {
  const auto f = [](std::vector<float> v) { return std::optional<torch::Tensor>(torch::tensor(v)); };
  const std::vector<std::optional<torch::Tensor>> fresh{f({1, 0}), f({0, 2}), f({3, 4})};
  const std::vector<std::optional<torch::Tensor>> old{f({2, 0}), std::nullopt, f({0, 0})};
  const cv::Mat1d s = cosine_scores_cal(fresh, old);
  ASSERT_EQ(s.size(), cv::Size(3, 3));
  EXPECT_DOUBLE_EQ(s(0, 0), 1.0);
  EXPECT_DOUBLE_EQ(s(1, 0), 0.0);
  EXPECT_NEAR(s(2, 0), 0.6, 1e-12);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s(i, 1), -INFINITY);
    EXPECT_EQ(s(i, 2), 0.0);  // a zero vector scores 0
  }
  EXPECT_EQ(cosine_scores_cal({}, old).size(), cv::Size(3, 0));
  EXPECT_EQ(cosine_scores_cal(fresh, {}).size(), cv::Size(0, 3));
}

// An encoder whose output breaks the contract.
class WrongKeyEncoder : public ImageEncoder {
 public:
  std::map<std::string, torch::Tensor> operator()(const torch::Tensor&) override {
    return {{"features", torch::zeros({1, 4, 2, 2})}};
  }
};

TEST(RegionFeaturesTest, EncoderWithoutVisionFeaturesIsAClearError) {
  WrongKeyEncoder encoder;
  testing::FakePredictor predictor;
  predictor.encoder = &encoder;
  const cv::Size frame(30, 30);
  try {
    generate_sam2_image_features(cv::Mat3b(frame, cv::Vec3b(1, 2, 3)), {rect_mask(frame, {0, 0, 10, 10})}, predictor);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("\"vision_features\""), std::string::npos);
  }
}

// An encoder that answers "vision_features" of a given shape.
class ShapedEncoder : public ImageEncoder {
 public:
  explicit ShapedEncoder(std::vector<int64_t> shape) : shape_(std::move(shape)) {}
  std::map<std::string, torch::Tensor> operator()(const torch::Tensor&) override {
    return {{"vision_features", torch::ones(shape_)}};
  }

 private:
  std::vector<int64_t> shape_;
};

struct EncoderShapeCase {
  const char* name;
  std::vector<int64_t> shape;
  const char* received;
  friend void PrintTo(const EncoderShapeCase& c, std::ostream* os) { *os << c.name; }
};

class EncoderShapeTest : public ::testing::TestWithParam<EncoderShapeCase> {};

// Empty features would give empty vectors or NaN scores downstream.
TEST_P(EncoderShapeTest, EmptyOrMisshapenFeaturesAreRefusedNamingTheShape) {
  ShapedEncoder encoder(GetParam().shape);
  testing::FakePredictor predictor;
  predictor.encoder = &encoder;
  const cv::Size frame(30, 30);
  try {
    generate_sam2_image_features(cv::Mat3b(frame, cv::Vec3b(1, 2, 3)), {rect_mask(frame, {0, 0, 10, 10})}, predictor);
    ADD_FAILURE() << "expected an error";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("generate_sam2_image_features"), std::string::npos) << what;
    EXPECT_NE(what.find("1 x C x h x w"), std::string::npos) << what;
    EXPECT_NE(what.find(std::string("got ") + GetParam().received), std::string::npos) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, EncoderShapeTest,
    ::testing::Values(EncoderShapeCase{"no_channels", {1, 0, 8, 8}, "1 x 0 x 8 x 8"},
                      EncoderShapeCase{"no_grid", {1, 3, 0, 0}, "1 x 3 x 0 x 0"},
                      EncoderShapeCase{"batch_of_two", {2, 3, 4, 4}, "2 x 3 x 4 x 4"},
                      EncoderShapeCase{"flat", {64}, "64"}),
    [](const auto& info) { return std::string(info.param.name); });

// An animal drawn facing `degrees` (y down): a light body with a dark spot
// towards its head, on a mid-grey floor; and its mask.
std::pair<cv::Mat3b, Mask> animal_facing(double degrees) {
  const cv::Size frame(160, 140);
  cv::Mat3b image(frame, cv::Vec3b(90, 90, 90));
  cv::Mat1b inside = cv::Mat1b::zeros(frame);
  const cv::Point2f c(80, 70);
  cv::ellipse(inside, cv::RotatedRect(c, cv::Size2f(90, 36), static_cast<float>(degrees)), 255, cv::FILLED);
  image.setTo(cv::Vec3b(220, 215, 210), inside);
  const double r = degrees * CV_PI / 180;
  cv::circle(image, cv::Point(cvRound(c.x + 28 * std::cos(r)), cvRound(c.y + 28 * std::sin(r))), 8, cv::Scalar(30, 30, 30),
             cv::FILLED);
  return {image, Mask(inside)};
}

struct AxisCase {
  const char* name;
  double drawn, axis;  // the ellipse's angle and the principal axis expected
};

class PrincipalAxisTest : public ::testing::TestWithParam<AxisCase> {};

TEST_P(PrincipalAxisTest, AxisOfAnEllipseInMinus90To90) {
  const double got = principal_axis_degrees(animal_facing(GetParam().drawn).second);
  EXPECT_GT(got, -90.0);
  EXPECT_LE(got, 90.0);
  // An axis has no direction: 90 and -90 are one.
  EXPECT_NEAR(std::remainder(got - GetParam().axis, 180.0), 0.0, 1.5) << got;
}

INSTANTIATE_TEST_SUITE_P(Angles, PrincipalAxisTest,
                         ::testing::Values(AxisCase{"along_rows", 0, 0}, AxisCase{"down_right", 35, 35},
                                           AxisCase{"up_right", -60, -60}, AxisCase{"down_left", 120, -60},
                                           AxisCase{"reversed", 180, 0}, AxisCase{"upright", 90, 90}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UprightFeaturesTest, HeadEndIsLaidToTheRight) {
  // The animal's mask: a body and a smaller head in front, facing `degrees`.
  for (const double degrees : {0.0, 35.0, -60.0, 120.0, 180.0, -150.0}) {
    const auto [image, body] = animal_facing(degrees);
    cv::Mat1b inside = body.full();
    const double r = degrees * CV_PI / 180;
    cv::circle(inside, cv::Point(cvRound(80 + 52 * std::cos(r)), cvRound(70 + 52 * std::sin(r))), 12, 255, cv::FILLED);
    const double turn = upright_degrees(Mask(inside));
    EXPECT_NEAR(std::remainder(turn - degrees, 360.0), 0.0, 2.0) << degrees << " turned by " << turn;
  }
  // Symmetric along its axis: no end to choose.
  EXPECT_EQ(upright_degrees(rect_mask({60, 40}, {10, 10, 30, 12})), 0.0);
}

TEST(UprightFeaturesTest, AnAnimalLooksTheSameUprightWhereverItFaces) {
  testing::GridLayoutEncoder encoder;
  testing::FakePredictor predictor;
  predictor.encoder = &encoder;
  // With a head, so that the upright turn is known.
  const auto animal = [](double degrees) {
    auto [image, body] = animal_facing(degrees);
    cv::Mat1b inside = body.full();
    const double r = degrees * CV_PI / 180;
    const cv::Point head(cvRound(80 + 52 * std::cos(r)), cvRound(70 + 52 * std::sin(r)));
    cv::circle(inside, head, 12, 255, cv::FILLED);
    cv::circle(image, head, 12, cv::Scalar(200, 200, 200), cv::FILLED);
    return std::pair{image, Mask(inside)};
  };
  const auto [image0, mask0] = animal(0);
  const auto reference = generate_upright_region_features(image0, {mask0}, predictor);
  ASSERT_TRUE(reference[0]);
  EXPECT_EQ(predictor.set_image_calls, 0);  // the regions need the encoder only
  const auto cosine = [](const std::optional<torch::Tensor>& a, const std::optional<torch::Tensor>& b) {
    return cosine_scores_cal({a}, {b})(0, 0);
  };
  for (const double degrees : {35.0, -60.0, 120.0, 180.0, 90.0}) {
    const auto [image, mask] = animal(degrees);
    const double upright = cosine(generate_upright_region_features(image, {mask}, predictor)[0], reference[0]);
    // As drawn, unturned, the animal's looks change with where it faces.
    const double as_drawn = cosine(generate_sam2_image_features(image, {mask}, predictor)[0],
                                   generate_sam2_image_features(image0, {mask0}, predictor)[0]);
    EXPECT_GT(upright, 0.99) << degrees;
    EXPECT_GT(upright - as_drawn, 0.05) << degrees << " as drawn " << as_drawn;
  }
  const auto tiny = generate_upright_region_features(image0, {rect_mask(image0.size(), {5, 5, 3, 3})}, predictor);
  EXPECT_FALSE(tiny[0]);
  try {
    generate_upright_region_features(image0, {rect_mask({30, 20}, {0, 0, 10, 10})}, predictor);
    ADD_FAILURE() << "expected an error";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("generate_upright_region_features: mask 0 was made on a 20 x 30 frame"),
              std::string::npos) << e.what();
  }
}

TEST(RegionFeaturesTest, MaskOfAnotherFrameSizeIsRefusedBeforeTheModel) {
  testing::GridStatsEncoder encoder;
  testing::FakePredictor predictor;
  predictor.encoder = &encoder;
  const cv::Size small(30, 20), large(60, 50);
  try {
    generate_sam2_image_features(cv::Mat3b(large, cv::Vec3b(1, 2, 3)),
                                 {rect_mask(large, {0, 0, 10, 10}), rect_mask(small, {0, 0, 10, 10})}, predictor);
    ADD_FAILURE() << "expected an error";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("generate_sam2_image_features: mask 1 was made on a 20 x 30 frame; "
                                         "expected the image's 50 x 60"),
              std::string::npos) << e.what();
  }
  EXPECT_EQ(predictor.set_image_calls, 0);
  EXPECT_EQ(encoder.calls, 0);
}

}  // namespace
}  // namespace pelk
