#include "pelk_utils/video/internal/yuv_jpeg.hpp"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <jpeglib.h>

namespace pelk::internal {
namespace {

// libjpeg reports errors through a callback that must not return; it jumps
// back to encode_jpeg, which turns the message into an exception.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void on_error(j_common_ptr info) {
  auto* errors = reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->jump, 1);
}

void check_plane(const cv::Mat& plane, int cols, int rows, const char* name) {
  if (plane.type() != CV_8UC1 || plane.cols != cols || plane.rows != rows) {
    throw std::invalid_argument(std::string("encode_jpeg: plane ") + name + " must be CV_8UC1 of " +
                                std::to_string(cols) + "x" + std::to_string(rows) + ", got " +
                                std::to_string(plane.cols) + "x" + std::to_string(plane.rows));
  }
}

// The compressor and its output buffer; both are released on every path,
// the longjmp from on_error included (this frame has no destructors to skip).
struct Compressor {
  jpeg_compress_struct info{};
  ErrorManager errors{};
  unsigned char* out = nullptr;
  unsigned long size = 0;
  ~Compressor() {
    jpeg_destroy_compress(&info);
    std::free(out);
  }
};

// Runs the compression; returns false (message in `c.errors`) on failure.
// Kept free of C++ objects with destructors because of the longjmp; the
// source is called between libjpeg's calls, never from inside one.
bool compress(Compressor& c, int width, int height, const StripSource& source, int quality) {
  if (setjmp(c.errors.jump) != 0) return false;
  jpeg_create_compress(&c.info);
  jpeg_mem_dest(&c.info, &c.out, &c.size);
  c.info.image_width = static_cast<JDIMENSION>(width);
  c.info.image_height = static_cast<JDIMENSION>(height);
  c.info.input_components = 3;
  c.info.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&c.info);
  jpeg_set_quality(&c.info, quality, TRUE);
  c.info.raw_data_in = TRUE;
  c.info.comp_info[0].h_samp_factor = c.info.comp_info[0].v_samp_factor = 2;
  for (int i = 1; i < 3; ++i) c.info.comp_info[i].h_samp_factor = c.info.comp_info[i].v_samp_factor = 1;
  jpeg_start_compress(&c.info, TRUE);
  StripRows rows{};
  JSAMPARRAY planes[3] = {const_cast<JSAMPARRAY>(rows.y), const_cast<JSAMPARRAY>(rows.cb),
                          const_cast<JSAMPARRAY>(rows.cr)};
  for (int row = 0; row < round_up_16(height); row += 16) {
    source(row, rows);
    jpeg_write_raw_data(&c.info, planes, 16);
  }
  jpeg_finish_compress(&c.info);
  return true;
}

// As compress(), for BGR scanlines handed to libjpeg as they lie.
bool compress_bgr(Compressor& c, const cv::Mat& bgr, int quality) {
  if (setjmp(c.errors.jump) != 0) return false;
  jpeg_create_compress(&c.info);
  jpeg_mem_dest(&c.info, &c.out, &c.size);
  c.info.image_width = static_cast<JDIMENSION>(bgr.cols);
  c.info.image_height = static_cast<JDIMENSION>(bgr.rows);
  c.info.input_components = 3;
  c.info.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&c.info);
  jpeg_set_quality(&c.info, quality, TRUE);
  jpeg_start_compress(&c.info, TRUE);
  for (int y = 0; y < bgr.rows; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(bgr.ptr<unsigned char>(y));
    jpeg_write_scanlines(&c.info, &row, 1);
  }
  jpeg_finish_compress(&c.info);
  return true;
}

// Runs `body` on a fresh compressor; returns its JPEG or throws with
// libjpeg's message.
template <typename Body>
std::string run_compressor(const Body& body) {
  Compressor c;
  c.info.err = jpeg_std_error(&c.errors.base);
  c.errors.base.error_exit = on_error;
  if (!body(c)) throw std::runtime_error(std::string("JPEG encoding failed: ") + c.errors.message);
  return std::string(reinterpret_cast<const char*>(c.out), c.size);
}

}  // namespace

std::string encode_jpeg_bgr(const cv::Mat& bgr, int quality) {
  if (bgr.empty() || bgr.type() != CV_8UC3) {
    throw std::invalid_argument("encode_jpeg_bgr: image must be a non-empty CV_8UC3 BGR picture, got " +
                                std::to_string(bgr.cols) + "x" + std::to_string(bgr.rows) + " with " +
                                std::to_string(bgr.channels()) + " channels of depth " + std::to_string(bgr.depth()));
  }
  return run_compressor([&](Compressor& c) { return compress_bgr(c, bgr, std::clamp(quality, 1, 100)); });
}

std::string encode_jpeg_strips(int width, int height, const StripSource& source, int quality) {
  if (width <= 0 || height <= 0) {
    throw std::invalid_argument("encode_jpeg: empty picture " + std::to_string(width) + "x" + std::to_string(height));
  }
  return run_compressor([&](Compressor& c) { return compress(c, width, height, source, std::clamp(quality, 1, 100)); });
}

std::string encode_jpeg(const Yuv420Image& image, int quality) {
  if (image.width <= 0 || image.height <= 0) {
    throw std::invalid_argument("encode_jpeg: empty picture " + std::to_string(image.width) + "x" +
                                std::to_string(image.height));
  }
  const int cols = round_up_16(image.width), rows = round_up_16(image.height);
  check_plane(image.y, cols, rows, "y");
  check_plane(image.cb, cols / 2, rows / 2, "cb");
  check_plane(image.cr, cols / 2, rows / 2, "cr");
  return encode_jpeg_strips(
      image.width, image.height,
      [&image](int row, StripRows& r) {
        for (int i = 0; i < 16; ++i) r.y[i] = image.y.ptr<unsigned char>(row + i);
        for (int i = 0; i < 8; ++i) {
          r.cb[i] = image.cb.ptr<unsigned char>(row / 2 + i);
          r.cr[i] = image.cr.ptr<unsigned char>(row / 2 + i);
        }
      },
      quality);
}

}  // namespace pelk::internal
