#include "pelk_utils/core/mask.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace pelk {
namespace {

void require_same_frame(const Mask& a, const Mask& b) {
  if (a.size() != b.size()) {
    throw std::invalid_argument("masks of different frame sizes: " + std::to_string(a.size().width) + "x" +
                                std::to_string(a.size().height) + " and " + std::to_string(b.size().width) +
                                "x" + std::to_string(b.size().height));
  }
}

// Returns the tight rectangle of the non-zero pixels of an 8-bit raster,
// scanning each row from both ends. (cv::boundingRect on a raster of 0/1
// values misses pixels in OpenCV 4.6.)
// The first and last non-zero byte of a row, eight bytes at a time (byte k
// of a little-endian word is bits 8k..8k+7); n and -1 for a row of zeros.
int first_nonzero(const std::uint8_t* p, int n) {
  int a = 0;
  for (; a + 8 <= n; a += 8) {
    std::uint64_t v;
    std::memcpy(&v, p + a, 8);
    if (v != 0) return a + std::countr_zero(v) / 8;
  }
  for (; a < n; ++a) {
    if (p[a] != 0) return a;
  }
  return n;
}

int last_nonzero(const std::uint8_t* p, int n) {
  int b = n;
  for (; b >= 8; b -= 8) {
    std::uint64_t v;
    std::memcpy(&v, p + b - 8, 8);
    if (v != 0) return b - 1 - std::countl_zero(v) / 8;
  }
  for (; b > 0; --b) {
    if (p[b - 1] != 0) return b - 1;
  }
  return -1;
}

static_assert(std::endian::native == std::endian::little, "the row scans read bytes as little-endian words");

#if defined(__x86_64__)
// The same scans thirty-two bytes at a time, where the processor has AVX2
// (bit k of the mask = byte k is zero).
__attribute__((target("avx2"))) std::uint32_t zero_bytes32(const std::uint8_t* p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
}

__attribute__((target("avx2"))) int first_nonzero_avx2(const std::uint8_t* p, int n) {
  int a = 0;
  for (; a + 32 <= n; a += 32) {
    const std::uint32_t zero = zero_bytes32(p + a);
    if (zero != 0xffffffffu) return a + std::countr_one(zero);
  }
  return a + first_nonzero(p + a, n - a);
}

__attribute__((target("avx2"))) int last_nonzero_avx2(const std::uint8_t* p, int n) {
  int b = n;
  for (; b >= 32; b -= 32) {
    const std::uint32_t zero = zero_bytes32(p + b - 32);
    if (zero != 0xffffffffu) return b - 1 - std::countl_one(zero);
  }
  return last_nonzero(p, b);
}
#endif

using RowScan = int (*)(const std::uint8_t*, int);

template <RowScan First, RowScan Last>
cv::Rect nonzero_bounds_with(const cv::Mat1b& m) {
  int x0 = m.cols, x1 = -1, y0 = -1, y1 = -1;
  for (int y = 0; y < m.rows; ++y) {
    const std::uint8_t* p = m.ptr<std::uint8_t>(y);
    const int a = First(p, m.cols);
    if (a == m.cols) continue;
    if (y0 < 0) y0 = y;
    y1 = y;
    x0 = std::min(x0, a);
    x1 = std::max(x1, Last(p, m.cols));
  }
  if (y0 < 0) return {};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

using Bounds = cv::Rect (*)(const cv::Mat1b&);

// The bounds scan for this processor, chosen once.
Bounds nonzero_bounds_for_this_cpu() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) return nonzero_bounds_with<first_nonzero_avx2, last_nonzero_avx2>;
#endif
  return nonzero_bounds_with<first_nonzero, last_nonzero>;
}

const Bounds nonzero_bounds = nonzero_bounds_for_this_cpu();

// Packs `width` bytes of a row (non-zero = inside) into bits (bit k of word
// w = column 64w + k), ORed into `out`: the widest compare the processor has,
// then pack_tail for the rest.
void pack_tail(const std::uint8_t* in, int x, int width, std::uint64_t* out);

#if defined(__x86_64__)
// Thirty-two bytes at a time: compare with zero, gather the byte signs.
__attribute__((target("avx2"))) void pack_row_avx2(const std::uint8_t* in, int width, std::uint64_t* out) {
  int x = 0;
  const __m256i zero = _mm256_setzero_si256();
  for (; x + 32 <= width; x += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x));
    const auto bits = static_cast<std::uint64_t>(~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, zero))));
    out[x >> 6] |= bits << (x & 63);  // x is a multiple of 32: the bits stay in one word
  }
  pack_tail(in, x, width, out);
}
#endif

void pack_row_portable(const std::uint8_t* in, int width, std::uint64_t* out) {
  int x = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: compare with zero, gather the byte signs.
  const __m128i zero = _mm_setzero_si128();
  for (; x + 16 <= width; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
    const auto bits = static_cast<std::uint64_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) & 0xffff);
    out[x >> 6] |= bits << (x & 63);  // x is a multiple of 16: the bits stay in one word
  }
#endif
  pack_tail(in, x, width, out);
}

// Packs columns x.. of a row (x a multiple of 8), eight bytes at a time:
// each byte is folded to 0/1 in its lowest bit, and one multiplication
// gathers the eight lowest bits into the top byte.
void pack_tail(const std::uint8_t* in, int x, int width, std::uint64_t* out) {
  for (; x + 8 <= width; x += 8) {
    std::uint64_t v;
    std::memcpy(&v, in + x, 8);
    v |= v >> 4;
    v |= v >> 2;
    v |= v >> 1;
    v &= 0x0101010101010101ULL;
    out[x >> 6] |= ((v * 0x0102040810204080ULL) >> 56) << (x & 63);
  }
  for (; x < width; ++x) out[x >> 6] |= static_cast<std::uint64_t>(in[x] != 0) << (x & 63);
}

using PackRow = void (*)(const std::uint8_t*, int, std::uint64_t*);

// The row packer for this processor, chosen once.
PackRow pack_row_for_this_cpu() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) return pack_row_avx2;
#endif
  return pack_row_portable;
}

const PackRow pack_row = pack_row_for_this_cpu();

}  // namespace

Mask::Mask(const cv::Mat& full_frame) {
  if (full_frame.empty()) return;
  if (full_frame.channels() != 1 || full_frame.dims != 2) {
    throw std::invalid_argument("Mask needs a single-channel two-dimensional raster, got " +
                                std::to_string(full_frame.channels()) + " channels");
  }
  frame_size_ = full_frame.size();
  adopt(cv::Rect(cv::Point(0, 0), frame_size_), full_frame);
}

Mask::Mask(cv::Size frame_size, cv::Rect rect, const cv::Mat& bits) : frame_size_(frame_size) {
  if (bits.channels() != 1 || bits.size() != rect.size()) {
    throw std::invalid_argument("Mask bits must be single-channel and of the rectangle's size");
  }
  const cv::Rect inside = rect & cv::Rect(cv::Point(0, 0), frame_size);
  if (inside.empty()) return;
  adopt(inside, bits(cv::Rect(inside.tl() - rect.tl(), inside.size())));
}

// Where the processor counts bits in one instruction, a clone of this
// function uses it (chosen once at load time); elsewhere the portable one.
#define PELK_FAST_POPCOUNT __attribute__((target_clones("popcnt", "default")))

PELK_FAST_POPCOUNT void Mask::adopt(cv::Rect rect, const cv::Mat& bits) {
  cv::Mat1b nonzero;
  if (bits.depth() == CV_8U) {
    nonzero = bits;
  } else {
    cv::compare(bits, 0, nonzero, cv::CMP_NE);
  }
  const cv::Rect tight = nonzero_bounds(nonzero);
  if (tight.empty()) return;
  rect_ = tight + rect.tl();
  words_ = tight.width / 64 + 2;  // one spare word lets chunk() read 64 bits from any column
  packed_ = cv::Mat1b::zeros(tight.height, words_ * 8);
  std::int64_t area = 0;
  for (int y = 0; y < tight.height; ++y) {
    const std::uint8_t* in = nonzero.ptr<std::uint8_t>(tight.y + y) + tight.x;
    auto* out = reinterpret_cast<std::uint64_t*>(packed_.ptr<std::uint8_t>(y));
    pack_row(in, tight.width, out);
    for (int w = 0; w < words_; ++w) area += std::popcount(out[w]);
  }
  area_ = area;
}

const std::uint64_t* Mask::row(int y) const {
  return reinterpret_cast<const std::uint64_t*>(packed_.ptr<std::uint8_t>(y));
}

namespace {

// Returns the 64 bits of a packed row starting at column `x` (bit 0 = x).
std::uint64_t chunk(const std::uint64_t* row, int x) {
  const int word = x >> 6, shift = x & 63;
  if (shift == 0) return row[word];
  return (row[word] >> shift) | (row[word + 1] << (64 - shift));
}

// Bytes 0/1 for each bit of a byte, least significant bit first.
const std::array<std::uint64_t, 256>& byte_spread() {
  static const std::array<std::uint64_t, 256> table = [] {
    std::array<std::uint64_t, 256> t{};
    for (int v = 0; v < 256; ++v) {
      for (int bit = 0; bit < 8; ++bit) t[v] |= static_cast<std::uint64_t>((v >> bit) & 1) << (8 * bit);
    }
    return t;
  }();
  return table;
}

}  // namespace

cv::Mat1b Mask::roi() const {
  if (empty()) return cv::Mat1b();
  const auto& spread = byte_spread();
  cv::Mat1b out(rect_.size());
  std::vector<std::uint8_t> line(static_cast<std::size_t>(words_) * 64);
  for (int y = 0; y < rect_.height; ++y) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(row(y));
    for (int k = 0; k < words_ * 8; ++k) std::memcpy(line.data() + 8 * k, &spread[bytes[k]], 8);
    std::memcpy(out.ptr<std::uint8_t>(y), line.data(), static_cast<std::size_t>(rect_.width));
  }
  return out;
}

cv::Mat1b Mask::window(cv::Rect area) const {
  cv::Mat1b out = cv::Mat1b::zeros(std::max(area.height, 0), std::max(area.width, 0));
  const cv::Rect common = area & rect_;
  if (empty() || common.empty()) return out;
  for (int y = common.y; y < common.y + common.height; ++y) {
    const std::uint64_t* words = row(y - rect_.y);
    std::uint8_t* line = out.ptr<std::uint8_t>(y - area.y);
    for (int x = common.x; x < common.x + common.width; ++x) {
      const int bit = x - rect_.x;
      line[x - area.x] = static_cast<std::uint8_t>((words[bit / 64] >> (bit % 64)) & 1u);
    }
  }
  return out;
}

Box Mask::box() const {
  if (empty()) return {0, 0, 0, 0};
  return {static_cast<double>(rect_.x), static_cast<double>(rect_.y), static_cast<double>(rect_.x + rect_.width - 1),
          static_cast<double>(rect_.y + rect_.height - 1)};
}

cv::Mat1b Mask::full() const {
  cv::Mat1b out = cv::Mat1b::zeros(frame_size_);
  if (!empty()) roi().copyTo(out(rect_));
  return out;
}

std::uint8_t Mask::at(int x, int y) const {
  if (!rect_.contains(cv::Point(x, y))) return 0;
  const int col = x - rect_.x;
  return static_cast<std::uint8_t>((row(y - rect_.y)[col >> 6] >> (col & 63)) & 1);
}

bool operator==(const Mask& a, const Mask& b) {
  if (a.frame_size_ != b.frame_size_ || a.rect_ != b.rect_ || a.area_ != b.area_) return false;
  if (a.empty()) return true;
  // Same rectangle, so the same packing; padding bits are always 0.
  return cv::countNonZero(a.packed_ != b.packed_) == 0;
}

PELK_FAST_POPCOUNT std::int64_t intersection_area(const Mask& a, const Mask& b) {
  require_same_frame(a, b);
  const cv::Rect overlap = a.bounds() & b.bounds();
  if (overlap.empty()) return 0;
  const int ax = overlap.x - a.rect_.x, bx = overlap.x - b.rect_.x;
  std::int64_t count = 0;
  for (int y = overlap.y; y < overlap.br().y; ++y) {
    const std::uint64_t* ra = a.row(y - a.rect_.y);
    const std::uint64_t* rb = b.row(y - b.rect_.y);
    for (int x = 0; x < overlap.width; x += 64) {
      std::uint64_t both = chunk(ra, ax + x) & chunk(rb, bx + x);
      const int left = overlap.width - x;
      if (left < 64) both &= (std::uint64_t{1} << left) - 1;
      count += std::popcount(both);
    }
  }
  return count;
}

Mask mask_and(const Mask& a, const Mask& b) {
  require_same_frame(a, b);
  const cv::Rect overlap = a.bounds() & b.bounds();
  if (overlap.empty()) return Mask(a.size(), cv::Rect(), cv::Mat1b());
  cv::Mat1b both;
  cv::bitwise_and(a.roi()(overlap - a.bounds().tl()), b.roi()(overlap - b.bounds().tl()), both);
  return Mask(a.size(), overlap, both);
}

AreaMap mask_areas(const MaskDict& masks) {
  AreaMap areas;
  for (const auto& [key, mask] : masks) areas.insert_or_assign(key, mask.area());
  return areas;
}

std::vector<Mask> frame_masks(const std::vector<cv::Mat>& rasters, cv::Size frame_size, const std::string& call) {
  const auto shape = [](const cv::Mat& m) {
    std::string text;
    for (int d = 0; d < m.dims; ++d) text += (d ? " x " : "") + std::to_string(m.size[d]);
    if (m.channels() > 1) text += " x " + std::to_string(m.channels()) + " channels";
    return text.empty() ? std::string("empty") : text;
  };
  std::vector<Mask> masks;
  masks.reserve(rasters.size());
  for (std::size_t i = 0; i < rasters.size(); ++i) {
    const cv::Mat& m = rasters[i];
    if (m.dims != 2 || m.channels() != 1 || m.size() != frame_size) {
      throw std::invalid_argument(call + ": mask " + std::to_string(i) + " is " + shape(m) + "; expected the frame's " +
                                  std::to_string(frame_size.height) + " x " + std::to_string(frame_size.width));
    }
    masks.emplace_back(m);
  }
  return masks;
}

PELK_FAST_POPCOUNT MaskMoments mask_moments(const Mask& mask) {
  MaskMoments m;
  // A run of L pixels from column a adds L to the count, L*a + S1[L] to the
  // sum of x and L*a^2 + 2a*S1[L] + S2[L] to the sum of x^2, where S1 and S2
  // are the sums of k and k^2 for k < L (tables: no division per run).
  static constexpr auto sums = [] {
    std::array<std::array<std::int64_t, 65>, 2> t{};
    for (std::int64_t l = 1; l <= 64; ++l) {
      t[0][l] = t[0][l - 1] + (l - 1);
      t[1][l] = t[1][l - 1] + (l - 1) * (l - 1);
    }
    return t;
  }();
  for (int r = 0; r < mask.rect_.height; ++r) {
    const std::int64_t y = mask.rect_.y + r;
    const std::uint64_t* words = mask.row(r);
    std::int64_t count = 0, sx = 0, sxx = 0;
    // Most rows of an animal are one run: then the sums are closed forms of
    // its first column and length.
    int first_word = -1, last_word = -1;
    for (int w = 0; w < mask.words_; ++w) {
      if (words[w] == 0) continue;
      if (first_word < 0) first_word = w;
      last_word = w;
      count += std::popcount(words[w]);
    }
    if (count == 0) continue;
    const std::int64_t first = first_word * 64 + std::countr_zero(words[first_word]);
    const std::int64_t last = last_word * 64 + 63 - std::countl_zero(words[last_word]);
    const bool one_run = last - first + 1 == count;
    if (one_run) {
      const std::int64_t a = mask.rect_.x + first, s1 = count * (count - 1) / 2;
      sx = count * a + s1;
      sxx = count * a * a + 2 * a * s1 + (count - 1) * count * (2 * count - 1) / 6;
    }
    for (int w = first_word; !one_run && w <= last_word; ++w) {
      std::uint64_t bits = words[w];
      while (bits != 0) {
        const int start = std::countr_zero(bits);
        const std::uint64_t from = bits >> start;
        const int length = from == ~std::uint64_t{0} ? 64 - start : std::countr_one(from);
        const std::int64_t a = mask.rect_.x + w * 64 + start;
        sx += length * a + sums[0][length];
        sxx += length * a * a + 2 * a * sums[0][length] + sums[1][length];
        bits = length + start >= 64 ? 0 : bits & ~(((std::uint64_t{1} << length) - 1) << start);
      }
    }
    m.m00 += count;
    m.m10 += sx;
    m.m01 += y * count;
    m.m20 += sxx;
    m.m11 += y * sx;
    m.m02 += y * y * count;
  }
  return m;
}

}  // namespace pelk
