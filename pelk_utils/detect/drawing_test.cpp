#include "pelk_utils/detect/drawing.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/drawing.hpp"

namespace pelk {
namespace {

Mask rect_mask(cv::Size frame, cv::Rect r) {
  cv::Mat1b m = cv::Mat1b::zeros(frame);
  m(r).setTo(1);
  return Mask(m);
}

cv::Vec4b blended(cv::Vec3b frame_bgr, Rgb c) {
  auto mix = [](int colour, int frame) { return static_cast<uchar>(cvRound((colour * 128 + frame * 127) / 255.0)); };
  return {mix(c.b, frame_bgr[0]), mix(c.g, frame_bgr[1]), mix(c.r, frame_bgr[2]), 255};
}

TEST(DrawMasksOnImageTest, BlendsLaterMaskWinsInputUntouched) {
  const cv::Size f(40, 30);
  const cv::Mat frame(f, CV_8UC3, cv::Scalar(10, 20, 30));
  const cv::Mat before = frame.clone();
  const Mask a = rect_mask(f, {0, 0, 20, 20}), b = rect_mask(f, {10, 10, 20, 20});
  const cv::Mat out = draw_masks_on_image(frame, {a, b});
  ASSERT_EQ(out.type(), CV_8UC4);
  EXPECT_EQ(out.at<cv::Vec4b>(5, 5), blended({10, 20, 30}, position_colour(0)));
  EXPECT_EQ(out.at<cv::Vec4b>(15, 15), blended({10, 20, 30}, position_colour(1)));  // overlap: later wins
  EXPECT_EQ(out.at<cv::Vec4b>(29, 0), cv::Vec4b(10, 20, 30, 255));
  EXPECT_EQ(cv::countNonZero(cv::Mat(frame != before).reshape(1)), 0);
}

TEST(DrawMasksOnImageTest, RejectsMaskOfOtherSize) {
  EXPECT_THROW(draw_masks_on_image(cv::Mat3b::zeros(10, 10), {Mask(cv::Mat1b::ones(5, 5))}), std::invalid_argument);
}

TEST(ImgBbxDrawingTest, EmptyDictionaryGivesTheFrameInBgra) {
  const cv::Mat frame(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
  const cv::Mat out = img_bbx_drawing(frame, MaskDict{});
  EXPECT_EQ(out.at<cv::Vec4b>(4, 4), cv::Vec4b(1, 2, 3, 255));
}

TEST(ImgBbxDrawingTest, RectangleIsThreePixelsInsideTheBoxWithPlateAbove) {
  const cv::Size f(100, 80);
  const cv::Mat frame(f, CV_8UC3, cv::Scalar(0, 0, 0));
  MaskDict d;
  d.insert_or_assign("Box0", rect_mask(f, {30, 40, 30, 20}));  // box (30, 40)-(59, 59)
  const cv::Mat out = img_bbx_drawing(frame, d);
  const cv::Vec4b c = cv::Vec4b(92, 179, 102, 255);  // position 0 in BGRA, opaque
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(out.at<cv::Vec4b>(50, 30 + k), c) << k;  // left edge, inward
    EXPECT_EQ(out.at<cv::Vec4b>(50, 59 - k), c) << k;  // right edge, inward
  }
  EXPECT_EQ(out.at<cv::Vec4b>(50, 33), blended({0, 0, 0}, position_colour(0)));  // fill inside
  EXPECT_EQ(out.at<cv::Vec4b>(50, 29), cv::Vec4b(0, 0, 0, 255));                // outside the box
  EXPECT_EQ(out.at<cv::Vec4b>(38, 31), c);                                       // plate just above
}

TEST(ImgBbxDrawingTest, AllZeroMaskGetsCornerOutlineAndIdenticalRepeats) {
  const cv::Size f(30, 30);
  const cv::Mat frame(f, CV_8UC3, cv::Scalar(50, 50, 50));
  MaskDict d;
  d.insert_or_assign("Box0", Mask(cv::Mat1b::zeros(f)));
  d.insert_or_assign("Box1", rect_mask(f, {10, 10, 5, 5}));
  const cv::Mat out1 = img_bbx_drawing(frame, d);
  const cv::Mat out2 = img_bbx_drawing(frame, d);
  EXPECT_EQ(cv::countNonZero(cv::Mat(out1 != out2).reshape(1)), 0);
  EXPECT_EQ(out1.at<cv::Vec4b>(0, 0), cv::Vec4b(92, 179, 102, 255));  // (0,0)-(0,0) outline
  EXPECT_EQ(out1.at<cv::Vec4b>(20, 1), cv::Vec4b(50, 50, 50, 255));   // no fill for the empty mask
}

}  // namespace
}  // namespace pelk
