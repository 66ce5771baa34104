#include "pelk_utils/core/mask.hpp"

#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/overlap.hpp"

namespace pelk {
namespace {

// Draws a small picture: '#' is inside, '.' outside.
cv::Mat1b picture(const std::vector<std::string>& rows) {
  cv::Mat1b m(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()));
  for (int y = 0; y < m.rows; ++y)
    for (int x = 0; x < m.cols; ++x) m(y, x) = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] == '#';
  return m;
}

TEST(MaskTest, KeepsTightRectangleAndInclusiveBox) {
  const Mask m(picture({
      ".....",
      "..#..",
      ".##..",
      ".....",
  }));
  EXPECT_EQ(m.size(), cv::Size(5, 4));
  EXPECT_EQ(m.area(), 3);
  EXPECT_EQ(m.bounds(), cv::Rect(1, 1, 2, 2));
  EXPECT_EQ(m.box(), (Box{1, 1, 2, 2}));
  EXPECT_EQ(m.at(2, 1), 1);
  EXPECT_EQ(m.at(1, 1), 0);
  EXPECT_EQ(m.at(-1, 0), 0);
}

TEST(MaskTest, EmptyMaskHasZeroBoxAndFullZeroRaster) {
  const Mask m(cv::Mat1b::zeros(3, 4));
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.box(), (Box{0, 0, 0, 0}));
  EXPECT_EQ(m.full().size(), cv::Size(4, 3));
  EXPECT_EQ(cv::countNonZero(m.full()), 0);
}

TEST(MaskTest, SinglePixelBoxIsThatPixel) {
  cv::Mat1b full = cv::Mat1b::zeros(10, 10);
  full(7, 3) = 255;
  const Mask m(full);
  EXPECT_EQ(m.box(), (Box{3, 7, 3, 7}));
  EXPECT_EQ(m.area(), 1);
}

TEST(MaskTest, AcceptsAnyDepthNonZeroIsInside) {
  cv::Mat1f f = cv::Mat1f::zeros(4, 4);
  f(1, 1) = 0.5f;
  f(2, 2) = -3.0f;
  cv::Mat1w w = cv::Mat1w::zeros(4, 4);
  w(3, 0) = 700;
  EXPECT_EQ(Mask(f).area(), 2);
  EXPECT_EQ(Mask(w).area(), 1);
  EXPECT_EQ(cv::countNonZero(Mask(w).full() != cv::Mat1b(w != 0) / 255), 0);
}

TEST(MaskTest, RectangleConstructorDropsOutsideAndTrims) {
  const cv::Mat1b bits = picture({
      "###",
      "...",
  });
  const Mask m(cv::Size(4, 4), cv::Rect(2, -1, 3, 2), bits);
  // Row -1 is outside the frame; the remaining row is empty.
  EXPECT_TRUE(m.empty());
  const Mask m2(cv::Size(4, 4), cv::Rect(2, 0, 3, 2), bits);
  EXPECT_EQ(m2.bounds(), cv::Rect(2, 0, 2, 1));
  EXPECT_EQ(m2.area(), 2);
}

TEST(MaskTest, MultiChannelRasterIsRejected) {
  EXPECT_THROW(Mask(cv::Mat3b::zeros(2, 2)), std::invalid_argument);
}

TEST(MaskTest, IntersectionOfDifferentFramesIsRejected) {
  EXPECT_THROW(intersection_area(Mask(cv::Mat1b::ones(2, 2)), Mask(cv::Mat1b::ones(3, 2))), std::invalid_argument);
}

// Random masks of the kinds that break rectangle bookkeeping: empty, one
// pixel, touching each border, nested and disjoint blobs.
cv::Mat1b random_mask(std::mt19937& rng, cv::Size size) {
  cv::Mat1b m = cv::Mat1b::zeros(size);
  std::uniform_int_distribution<int> kind(0, 6);
  std::uniform_int_distribution<int> xs(0, size.width - 1), ys(0, size.height - 1);
  switch (kind(rng)) {
    case 0:
      break;  // empty
    case 1:
      m(ys(rng), xs(rng)) = 1;
      break;
    case 2:  // touches all four borders
      cv::rectangle(m, cv::Rect(0, 0, size.width, size.height), 1, 1);
      break;
    case 3:
      cv::circle(m, {xs(rng), ys(rng)}, 1 + xs(rng) / 3, 1, cv::FILLED);
      break;
    case 4:  // blob clipped at a corner
      cv::ellipse(m, {size.width - 1, size.height - 1}, {xs(rng) + 1, ys(rng) + 1}, 30, 0, 360, 1, cv::FILLED);
      break;
    default:
      for (int i = 0; i < 20; ++i) m(ys(rng), xs(rng)) = 1;
  }
  return m;
}

// Returns the inclusive box of the non-zero pixels by walking every pixel.
Box plain_box(const cv::Mat1b& m) {
  int x0 = m.cols, y0 = m.rows, x1 = -1, y1 = -1;
  for (int y = 0; y < m.rows; ++y)
    for (int x = 0; x < m.cols; ++x)
      if (m(y, x)) x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
  if (x1 < 0) return {0, 0, 0, 0};
  return {double(x0), double(y0), double(x1), double(y1)};
}

TEST(MaskPropertyTest, MatchesFullFrameComputation) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const cv::Size size(5 + trial % 37, 3 + trial % 29);
    const cv::Mat1b a = random_mask(rng, size), b = random_mask(rng, size);
    const cv::Mat1b raw = trial % 5 == 0 ? cv::Mat1b(a * 255) : a;  // any non-zero value is inside
    const Mask ma(raw), mb(b);
    ASSERT_EQ(ma.area(), cv::countNonZero(a)) << trial;
    ASSERT_EQ(cv::countNonZero(ma.full() != a), 0) << trial;
    ASSERT_EQ(ma.box(), plain_box(a)) << trial;
    cv::Mat1b both = a & b;
    ASSERT_EQ(intersection_area(ma, mb), cv::countNonZero(both)) << trial;
    ASSERT_EQ(mask_and(ma, mb), Mask(both)) << trial;
  }
}

// Masks are packed 64 pixels to a word: rows that cross word boundaries at
// every alignment, and pixel noise, must read back exactly.
TEST(MaskPropertyTest, WideMasksReadBackAtEveryWordAlignment) {
  std::mt19937 rng(13);
  for (int trial = 0; trial < 200; ++trial) {
    const cv::Size size(60 + trial % 141, 4 + trial % 7);
    cv::Mat1b a = random_mask(rng, size), b = random_mask(rng, size);
    if (trial % 3 == 0) cv::randu(a, 0, 2);  // noise: every word pattern
    if (trial % 4 == 0) b(cv::Rect(trial % size.width, 0, size.width - trial % size.width, size.height)).setTo(1);
    const cv::Mat1b raw = trial % 5 == 0 ? cv::Mat1b(a * 255) : a;  // any non-zero value is inside
    const Mask ma(raw), mb(b);
    ASSERT_EQ(ma.area(), cv::countNonZero(a)) << trial;
    ASSERT_EQ(cv::countNonZero(ma.full() != a), 0) << trial;
    if (!ma.empty()) {
      ASSERT_EQ(cv::countNonZero(ma.roi() != a(ma.bounds())), 0) << trial;
    }
    for (int y = 0; y < size.height; ++y) {
      for (int x = 0; x < size.width; ++x) {
        ASSERT_EQ(ma.at(x, y), a(y, x)) << trial << " at " << x << "," << y;
      }
    }
    ASSERT_EQ(intersection_area(ma, mb), cv::countNonZero(a & b)) << trial;
    ASSERT_EQ(Mask(ma.full()), ma) << trial;
    ASSERT_EQ(ma == mb, cv::countNonZero(a != b) == 0) << trial;
  }
}

TEST(MaskPropertyTest, IntersectionsTableMatchesFullFrameTable) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 40; ++trial) {
    const cv::Size size(31, 23);
    MaskDict dict;
    std::vector<cv::Mat1b> fulls;
    const int n = trial % 6;
    for (int i = 0; i < n; ++i) {
      fulls.push_back(random_mask(rng, size));
      dict.insert_or_assign("Box" + std::to_string(i), Mask(fulls.back()));
    }
    const IntersectionsTable table = intersection_between_masks(dict, mask_areas(dict));
    ASSERT_EQ(table.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        double expected = 0;
        const int area_i = cv::countNonZero(fulls[i]);
        const int area_row = cv::countNonZero(fulls[std::max(i, j)]);
        if (i != j && area_row > 1) {
          const int inter = cv::countNonZero(fulls[i] & fulls[j]);
          expected = area_i > 0 ? double(inter) / area_i * 100 : 0;
        }
        ASSERT_DOUBLE_EQ(table.at(i, j), expected) << trial << " " << i << "," << j;
      }
    }
  }
}

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

// Moments from the packed runs equal sums over the pixels, for runs that
// cross and end at 64-bit word boundaries, rows of one run and of many, and
// masks away from the origin.
TEST(MaskMomentsTest, EqualSumsOverThePixels) {
  cv::RNG rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    cv::Mat1b full = cv::Mat1b::zeros(90, 300);
    for (int k = 0; k < 6; ++k) {
      const int x = rng.uniform(0, 250), y = rng.uniform(0, 80);
      full(cv::Rect(x, y, rng.uniform(1, 50), rng.uniform(1, 10))).setTo(1);
    }
    if (trial == 0) full.row(3).setTo(1);  // a whole row: several full words
    if (trial == 1) cv::randu(full.rowRange(10, 14), 0, 2);  // noise: many runs per word
    std::int64_t m00 = 0, m10 = 0, m01 = 0, m20 = 0, m11 = 0, m02 = 0;
    for (int y = 0; y < full.rows; ++y) {
      for (int x = 0; x < full.cols; ++x) {
        if (!full(y, x)) continue;
        ++m00, m10 += x, m01 += y, m20 += x * x, m11 += x * y, m02 += y * y;
      }
    }
    const MaskMoments m = mask_moments(Mask(full));
    EXPECT_EQ(std::vector<std::int64_t>({m.m00, m.m10, m.m01, m.m20, m.m11, m.m02}),
              std::vector<std::int64_t>({m00, m10, m01, m20, m11, m02}))
        << "trial " << trial;
  }
  EXPECT_EQ(mask_moments(Mask(cv::Mat1b::zeros(4, 4))).m00, 0);
}

}  // namespace
}  // namespace pelk
