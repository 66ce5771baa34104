#include "pelk_utils/core/image_size.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace pelk {
namespace {

int big_endian(const std::uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v > 0x7fffffffu ? -1 : static_cast<int>(v);
}

// A PNG's size from its IHDR chunk (always the first).
std::optional<cv::Size> png_size(const std::vector<std::uint8_t>& head) {
  static constexpr std::array<std::uint8_t, 16> kStart = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n',
                                                          0,    0,   0,   13,  'I',  'H',  'D',  'R'};
  if (head.size() < 24 || std::memcmp(head.data(), kStart.data(), kStart.size()) != 0) return std::nullopt;
  const int width = big_endian(head.data() + 16, 4), height = big_endian(head.data() + 20, 4);
  if (width <= 0 || height <= 0) return std::nullopt;
  return cv::Size(width, height);
}

// A JPEG's size from its first frame header (SOF0..SOF15 but DHT, JPG and
// DAC); nothing when an Exif segment could turn the image.
std::optional<cv::Size> jpeg_size(std::ifstream& in) {
  std::array<std::uint8_t, 2> soi{};
  if (!in.read(reinterpret_cast<char*>(soi.data()), 2) || soi[0] != 0xff || soi[1] != 0xd8) return std::nullopt;
  while (in) {
    std::array<std::uint8_t, 4> marker{};
    if (!in.read(reinterpret_cast<char*>(marker.data()), 4) || marker[0] != 0xff) return std::nullopt;
    const std::uint8_t kind = marker[1];
    const int length = big_endian(marker.data() + 2, 2);
    if (length < 2) return std::nullopt;
    if (kind == 0xe1) return std::nullopt;  // APP1 (Exif): decoding applies its orientation
    const bool frame = kind >= 0xc0 && kind <= 0xcf && kind != 0xc4 && kind != 0xc8 && kind != 0xcc;
    if (frame) {
      std::array<std::uint8_t, 5> sof{};
      if (length < 7 || !in.read(reinterpret_cast<char*>(sof.data()), 5)) return std::nullopt;
      const int height = big_endian(sof.data() + 1, 2), width = big_endian(sof.data() + 3, 2);
      if (width <= 0 || height <= 0) return std::nullopt;
      return cv::Size(width, height);
    }
    if (kind == 0xd9 || kind == 0xda) return std::nullopt;  // image data before any frame header
    in.seekg(length - 2, std::ios::cur);
  }
  return std::nullopt;
}

bool ends_as_jpeg(std::ifstream& in) {
  std::array<char, 2> end{};
  in.clear();
  in.seekg(-2, std::ios::end);
  return in.read(end.data(), 2) && static_cast<std::uint8_t>(end[0]) == 0xff && static_cast<std::uint8_t>(end[1]) == 0xd9;
}

std::optional<cv::Size> decoded_size(const std::string& path) {
  const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
  if (image.empty()) return std::nullopt;
  return image.size();
}

}  // namespace

std::optional<cv::Size> image_size_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> head(24);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  if (const auto png = png_size(head)) return png;
  in.clear();
  in.seekg(0);
  // A JPEG's header is trusted only when the file also ends as a JPEG does
  // (cut or damaged files are decoded, so they fail as decoding fails).
  if (const auto jpeg = jpeg_size(in); jpeg && ends_as_jpeg(in)) return jpeg;
  return decoded_size(path);
}

}  // namespace pelk
