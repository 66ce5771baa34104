#include "pelk_utils/core/contact.hpp"

#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

// The rule on full frames: a grown by a disc of px meets b.
bool reference_within(const Mask& a, const Mask& b, int px) {
  if (a.empty() || b.empty()) return false;
  cv::Mat1b grown = a.full();
  if (px > 0) cv::dilate(grown, grown, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * px + 1, 2 * px + 1)));
  return cv::countNonZero(grown & b.full()) > 0;
}

Mask blob(std::mt19937& rng, cv::Size frame) {
  std::uniform_int_distribution<int> x(0, frame.width - 1), y(0, frame.height - 1), r(1, 12);
  cv::Mat1b full = cv::Mat1b::zeros(frame);
  const int parts = 1 + static_cast<int>(rng() % 3);
  for (int i = 0; i < parts; ++i) {
    cv::ellipse(full, cv::Point(x(rng), y(rng)), cv::Size(r(rng), r(rng)), static_cast<double>(rng() % 180), 0, 360, 1,
                cv::FILLED);
  }
  return Mask(full);
}

// Random shapes on and off the frame's edges, near and far, every distance:
// the windowed test answers as the full-frame rule does.
TEST(MasksWithinTest, AgreesWithTheFullFrameRuleOnRandomShapes) {
  std::mt19937 rng(11);
  const cv::Size frame(70, 50);
  int near = 0, far = 0;
  for (int i = 0; i < 3000; ++i) {
    const Mask a = blob(rng, frame), b = blob(rng, frame);
    const int px = static_cast<int>(rng() % 5);
    const bool want = reference_within(a, b, px);
    ASSERT_EQ(masks_within(a, b, px), want) << "case " << i << " px " << px;
    (want ? near : far) += 1;
  }
  EXPECT_GT(near, 300);
  EXPECT_GT(far, 300);
}

TEST(MasksWithinTest, WindowIsThePartOfTheFullRaster) {
  std::mt19937 rng(5);
  const cv::Size frame(150, 40);  // rows of three words
  for (int i = 0; i < 200; ++i) {
    const Mask m = blob(rng, frame);
    const cv::Rect area(static_cast<int>(rng() % 170) - 10, static_cast<int>(rng() % 50) - 5, 1 + static_cast<int>(rng() % 90),
                        1 + static_cast<int>(rng() % 30));
    cv::Mat1b want = cv::Mat1b::zeros(area.size());
    const cv::Rect inside = area & cv::Rect(cv::Point(0, 0), frame);
    if (!inside.empty()) m.full()(inside).copyTo(want(inside - area.tl()));
    const cv::Mat1b got = m.window(area);
    ASSERT_EQ(got.size(), area.size());
    ASSERT_EQ(cv::countNonZero(got != want), 0) << "case " << i;
  }
}

}  // namespace
}  // namespace pelk
