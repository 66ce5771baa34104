#include "pelk_utils/video/internal/yuv_jpeg.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace pelk::internal {
namespace {

struct BgrCase {
  const char* name;
  cv::Size size;
  int quality;
  bool region;  // a region of a larger picture: rows not contiguous
  friend void PrintTo(const BgrCase& c, std::ostream* os) { *os << c.name; }
};

class EncodeJpegBgrTest : public ::testing::TestWithParam<BgrCase> {};

// Extraction writes resized frames with its own encoder; they must stay the
// files cv::imwrite wrote, byte for byte.
TEST_P(EncodeJpegBgrTest, WritesWhatOpenCvWrites) {
  const BgrCase& c = GetParam();
  cv::Mat3b whole(c.size + cv::Size(c.region ? 9 : 0, c.region ? 5 : 0));
  cv::theRNG().state = 11;
  cv::randu(whole, 0, 256);
  whole(cv::Rect(0, 0, whole.cols / 2, (whole.rows + 1) / 2)).setTo(cv::Vec3b(30, 140, 250));  // a flat patch beside the noise
  const cv::Mat image = whole(cv::Rect(c.region ? cv::Point(4, 3) : cv::Point(0, 0), c.size));
  std::vector<unsigned char> expected;
  ASSERT_TRUE(cv::imencode(".jpg", image, expected, {cv::IMWRITE_JPEG_QUALITY, c.quality}));
  const std::string ours = encode_jpeg_bgr(image, c.quality);
  EXPECT_EQ(ours, std::string(expected.begin(), expected.end()));
}

INSTANTIATE_TEST_SUITE_P(Pictures, EncodeJpegBgrTest,
                         ::testing::Values(BgrCase{"odd_size_default_quality", {37, 23}, 95, false},
                                           BgrCase{"frame_sized", {590, 720}, 95, false},
                                           BgrCase{"region_of_a_larger_picture", {61, 34}, 95, true},
                                           BgrCase{"low_quality", {48, 32}, 40, false},
                                           BgrCase{"best_quality", {17, 1}, 100, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EncodeJpegBgrRefusalTest, NamesTheFunctionAndWhatItGot) {
  for (const cv::Mat& bad : {cv::Mat(), cv::Mat(cv::Mat1b(4, 4, uchar{0})), cv::Mat(cv::Mat3f(4, 4))}) {
    try {
      encode_jpeg_bgr(bad);
      ADD_FAILURE() << "accepted a " << bad.type() << " image";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("encode_jpeg_bgr: image must be a non-empty CV_8UC3"), std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace pelk::internal
