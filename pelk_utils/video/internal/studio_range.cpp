#include "pelk_utils/video/internal/studio_range.hpp"

#include <array>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace pelk::internal {
namespace {

// The maps in 16-bit fixed point: out = round_half_up(((v - offset) << 1) *
// factor / 2^15) + add, saturated (AVX2's mulhrs rounds half up). The
// factors were chosen so that every one of the 256 inputs gives the
// table's value; mapper() checks this once and keeps the table otherwise.
struct FixedPoint {
  std::int16_t offset, factor, add;
};
constexpr FixedPoint kLumaFixed{16, 19077, 0};
constexpr FixedPoint kChromaFixed{128, 18651, 128};

#if defined(__x86_64__)
// Sixteen samples widened to 16 bits, mapped (not yet saturated).
__attribute__((target("avx2"), always_inline)) inline __m256i map16(__m256i wide, __m256i offset, __m256i factor,
                                                                     __m256i add) {
  const __m256i shifted = _mm256_slli_epi16(_mm256_sub_epi16(wide, offset), 1);
  return _mm256_add_epi16(_mm256_mulhrs_epi16(shifted, factor), add);
}

__attribute__((target("avx2"))) void map_avx2(const std::uint8_t* in, std::uint8_t* out, int n, FixedPoint f) {
  const __m256i zero = _mm256_setzero_si256(), offset = _mm256_set1_epi16(f.offset);
  const __m256i factor = _mm256_set1_epi16(f.factor), add = _mm256_set1_epi16(f.add);
  for (int x = 0; x + 32 <= n; x += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x));
    // Unpacking and packing both work within 128-bit lanes: the order holds.
    const __m256i low = map16(_mm256_unpacklo_epi8(v, zero), offset, factor, add);
    const __m256i high = map16(_mm256_unpackhi_epi8(v, zero), offset, factor, add);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_packus_epi16(low, high));
  }
}
#endif

using Mapper = void (*)(const std::uint8_t*, std::uint8_t*, int, FixedPoint);

// The wide map for this processor when it agrees with the tables on every
// input, else none; chosen once.
Mapper mapper() {
  static const Mapper chosen = [] () -> Mapper {
#if defined(__x86_64__)
    if (!__builtin_cpu_supports("avx2")) return nullptr;
    std::array<std::uint8_t, 256> all{}, mapped{};
    for (int v = 0; v < 256; ++v) all[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(v);
    for (const Plane plane : {Plane::kLuma, Plane::kChroma}) {
      map_avx2(all.data(), mapped.data(), 256, plane == Plane::kLuma ? kLumaFixed : kChromaFixed);
      const cv::Mat& table = studio_range_table(plane);
      for (int v = 0; v < 256; ++v) {
        if (mapped[static_cast<std::size_t>(v)] != table.at<std::uint8_t>(v)) return nullptr;
      }
    }
    return map_avx2;
#else
    return nullptr;
#endif
  }();
  return chosen;
}

}  // namespace

const cv::Mat& studio_range_table(Plane plane) {
  static const std::array<cv::Mat, 2> tables = [] {
    cv::Mat luma(1, 256, CV_8U), chroma(1, 256, CV_8U);
    for (int v = 0; v < 256; ++v) {
      luma.at<unsigned char>(v) = cv::saturate_cast<unsigned char>(std::lround((v - 16) * 255.0 / 219.0));
      chroma.at<unsigned char>(v) = cv::saturate_cast<unsigned char>(std::lround((v - 128) * 255.0 / 224.0 + 128));
    }
    return std::array<cv::Mat, 2>{luma, chroma};
  }();
  return tables[plane == Plane::kLuma ? 0 : 1];
}

bool studio_range_is_wide() { return mapper() != nullptr; }

void map_studio_range(const std::uint8_t* in, std::uint8_t* out, int n, Plane plane) {
  int x = 0;
  if (const Mapper wide = mapper()) {
    wide(in, out, n, plane == Plane::kLuma ? kLumaFixed : kChromaFixed);
    x = n / 32 * 32;
  }
  const std::uint8_t* table = studio_range_table(plane).ptr<std::uint8_t>();
  for (; x < n; ++x) out[x] = table[in[x]];
}

}  // namespace pelk::internal
