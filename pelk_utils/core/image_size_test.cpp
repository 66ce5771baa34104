#include "pelk_utils/core/image_size.hpp"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace pelk {
namespace {

namespace fs = std::filesystem;

std::string bytes_of(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string write(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
  return path.string();
}

std::string encoded(const cv::Mat& image, const std::string& ext) {
  std::vector<std::uint8_t> buf;
  cv::imencode(ext, image, buf);
  return bytes_of(buf);
}

// An APP1 Exif segment saying "turn a quarter" (orientation 6), which
// cv::imread applies: width and height trade places.
std::string exif_turned() {
  const std::vector<std::uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0,        // header, first IFD at 8
                                          1, 0,                               // one entry
                                          0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0,  // orientation = 6
                                          0, 0, 0, 0};                        // no next IFD
  std::string payload = std::string("Exif\0\0", 6) + bytes_of(tiff);
  const auto length = static_cast<int>(payload.size() + 2);
  return std::string{'\xff', '\xe1', static_cast<char>(length >> 8), static_cast<char>(length & 0xff)} + payload;
}

struct SizeCase {
  std::string name;
  std::string content;  // the file's bytes
};

class ImageSizeTest : public testing::TestWithParam<SizeCase> {};

// Whatever the file, the answer is the size decoding gives, or none.
TEST_P(ImageSizeTest, EqualsWhatDecodingGives) {
  const fs::path dir = fs::path(testing::TempDir()) / "pelk_image_size";
  fs::create_directories(dir);
  const std::string path = write(dir / (GetParam().name + ".img"), GetParam().content);
  const cv::Mat decoded = cv::imread(path, cv::IMREAD_COLOR);
  const std::optional<cv::Size> size = image_size_of(path);
  if (decoded.empty()) {
    EXPECT_FALSE(size.has_value());
  } else {
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(*size, decoded.size());
  }
}

std::vector<SizeCase> size_cases() {
  cv::Mat3b odd(37, 61, cv::Vec3b(20, 90, 160));
  cv::Mat1b gray(300, 7, std::uint8_t{128});
  const std::string jpeg = encoded(odd, ".jpg");
  std::vector<SizeCase> cases = {
      {"jpeg", jpeg},
      {"jpeg_gray", encoded(gray, ".jpg")},
      {"png", encoded(odd, ".png")},
      {"png_gray", encoded(gray, ".png")},
      {"bmp_decoded", encoded(odd, ".bmp")},
      {"jpeg_turned_by_exif", jpeg.substr(0, 2) + exif_turned() + jpeg.substr(2)},
      {"text", "not an image at all"},
      {"empty", ""},
      {"png_cut_in_header", encoded(odd, ".png").substr(0, 20)},
      {"jpeg_start_only", jpeg.substr(0, 2)},
      {"jpeg_header_then_noise", jpeg.substr(0, jpeg.find("\xff\xc0") + 9) + std::string(2000, '\x5a')},
      {"jpeg_cut_in_half", jpeg.substr(0, jpeg.size() / 2)},
  };
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Files, ImageSizeTest, testing::ValuesIn(size_cases()),
                         [](const testing::TestParamInfo<SizeCase>& info) { return info.param.name; });

TEST(ImageSizeTest, MissingFileHasNoSize) { EXPECT_FALSE(image_size_of("/nonexistent/frame.jpg").has_value()); }

}  // namespace
}  // namespace pelk
