#include "pelk_utils/video/internal/studio_range.hpp"

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pelk::internal {
namespace {

struct RangeCase {
  std::string name;
  Plane plane;
  // Values the table must give (swscale's limited-to-full-range map).
  std::vector<std::pair<int, int>> known;
};

class StudioRangeTest : public testing::TestWithParam<RangeCase> {};

// The table holds swscale's values, including the saturated ends and the
// half-way case at chroma 16 (rounded up, as swscale does).
TEST_P(StudioRangeTest, TableHoldsTheKnownValues) {
  const cv::Mat& table = studio_range_table(GetParam().plane);
  for (const auto& [in, out] : GetParam().known) EXPECT_EQ(table.at<std::uint8_t>(in), out) << in;
}

// Whatever the length and start (wide steps and the tail), in place or
// not, every sample maps as the table says.
TEST_P(StudioRangeTest, MapEqualsTheTableAtEveryLengthAndOffset) {
  const Plane plane = GetParam().plane;
  const cv::Mat& table = studio_range_table(plane);
  std::mt19937 rng(3);
  std::vector<std::uint8_t> in(300 + 7);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i < 256 ? i : rng());
  for (int offset = 0; offset < 7; ++offset) {
    for (int n : {0, 1, 31, 32, 33, 64, 255, 256, 300}) {
      std::vector<std::uint8_t> out(static_cast<std::size_t>(n) + 1, 0xab);
      map_studio_range(in.data() + offset, out.data(), n, plane);
      for (int x = 0; x < n; ++x) {
        ASSERT_EQ(out[static_cast<std::size_t>(x)], table.at<std::uint8_t>(in[static_cast<std::size_t>(offset + x)]))
            << "offset " << offset << ", length " << n << ", sample " << x;
      }
      ASSERT_EQ(out[static_cast<std::size_t>(n)], 0xab) << "wrote past the end, length " << n;
      std::vector<std::uint8_t> same(in.begin() + offset, in.begin() + offset + n);
      map_studio_range(same.data(), same.data(), n, plane);
      ASSERT_TRUE(std::equal(same.begin(), same.end(), out.begin())) << "in place, length " << n;
    }
  }
}

// The fixed-point maps agree with the tables, so a processor with AVX2 uses
// them (a wrong factor would leave every frame on the slow table).
TEST(StudioRangeWideTest, UsedWhereTheProcessorHasAvx2) {
#if defined(__x86_64__)
  EXPECT_EQ(studio_range_is_wide(), __builtin_cpu_supports("avx2") != 0);
#else
  EXPECT_FALSE(studio_range_is_wide());
#endif
}

INSTANTIATE_TEST_SUITE_P(Planes, StudioRangeTest,
                         testing::Values(RangeCase{"luma", Plane::kLuma, {{0, 0}, {16, 0}, {17, 1}, {126, 128}, {235, 255}, {255, 255}}},
                                         RangeCase{"chroma", Plane::kChroma,
                                                   {{0, 0}, {15, 0}, {16, 1}, {128, 128}, {240, 255}, {255, 255}}}),
                         [](const testing::TestParamInfo<RangeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace pelk::internal
