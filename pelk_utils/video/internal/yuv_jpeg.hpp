// JPEG encoding straight from 4:2:0 YCbCr planes. A decoded video frame is
// already in the colour space a JPEG stores, so extraction encodes it as it
// is instead of converting it to BGR and having the encoder convert it back.
#pragma once

#include <functional>
#include <string>

#include <opencv2/core.hpp>

namespace pelk::internal {

// A 4:2:0 picture in JPEG's full-range BT.601 YCbCr, padded for the
// encoder's 16 x 16 blocks: `y` is CV_8UC1 with both sides rounded up to a
// multiple of 16, `cb` and `cr` are CV_8UC1 of half those sides; padding
// repeats the last real row and column. `width` x `height` is the picture.
struct Yuv420Image {
  int width = 0, height = 0;
  cv::Mat y, cb, cr;
};

// Returns `n` rounded up to a multiple of 16.
inline int round_up_16(int n) { return (n + 15) / 16 * 16; }

// Encodes `image` as a baseline JPEG at `quality` (1..100; 95 as cv::imwrite)
// with 4:2:0 sampling, as cv::imencode encodes a BGR picture. Throws
// std::invalid_argument when the planes do not have the padded sizes and
// std::runtime_error when the encoder fails.
std::string encode_jpeg(const Yuv420Image& image, int quality = 95);

// The rows of one 16-row strip of a 4:2:0 picture, as the encoder reads
// them: 16 luma and 8 of each chroma row, each round_up_16(width) samples
// long (chroma half that), padding repeating the last real row and column.
struct StripRows {
  const unsigned char* y[16];
  const unsigned char* cb[8];
  const unsigned char* cr[8];
};

// Fills `rows` for picture rows [row, row + 16); the pointers stay valid
// until the next call. Must not throw.
using StripSource = std::function<void(int row, StripRows& rows)>;

// Encodes a `width` x `height` picture whose rows `source` hands over strip
// by strip (pointers into a decoded frame, or a strip-sized buffer), so no
// whole padded plane is built; the same JPEG as encode_jpeg of the padded
// planes. Throws as encode_jpeg.
std::string encode_jpeg_strips(int width, int height, const StripSource& source, int quality = 95);

// Encodes `bgr` (CV_8UC3, BGR, any step) as a baseline JPEG at `quality`
// with libjpeg's defaults (4:2:0): byte for byte what cv::imencode(".jpg")
// writes, without OpenCV's image codecs (and the libraries they load).
// Throws std::invalid_argument for an empty or non-CV_8UC3 image and
// std::runtime_error when the encoder fails.
std::string encode_jpeg_bgr(const cv::Mat& bgr, int quality = 95);

}  // namespace pelk::internal
