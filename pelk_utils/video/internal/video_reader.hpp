// Video decoding for frame extraction, straight on libav. Frames stay in the
// decoder's own pixel format until a caller asks for a region, so a crop is
// cut before any colour conversion and only the saved pixels are converted.
// Frame rate, frame count and seeking follow OpenCV's FFmpeg capture, which
// the rest of the library (and stored frame numbers) were built against.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/video/internal/yuv_jpeg.hpp"

struct AVFrame;

namespace pelk::internal {

// A region of one decoded 4:2:0 frame. It holds a reference to the frame's
// buffers, not a copy, so the decoder goes on while another thread turns
// the region into JPEG-ready planes.
class FrameRegion {
 public:
  // Returns the region as padded full-range planes (copied and, for studio
  // swing video, mapped to full range).
  Yuv420Image planes() const;
  // Returns the region encoded as JPEG at `quality`, byte for byte
  // encode_jpeg(planes(), quality), without building the padded planes:
  // the encoder reads rows straight from the decoded frame where they need
  // no change (full-range video, a width that is a multiple of 16), and
  // otherwise from one 16-row strip mapped and padded at a time.
  std::string jpeg(int quality = 95) const;
  cv::Size size() const { return region_.size(); }

 private:
  friend class VideoReader;
  FrameRegion(std::shared_ptr<const AVFrame> frame, const cv::Rect& region)
      : frame_(std::move(frame)), region_(region) {}
  std::shared_ptr<const AVFrame> frame_;
  cv::Rect region_;
};

// How often recordings were opened for decoding and repositioned since the
// program started (all readers together): tests and benchmarks check with
// them that a batch decodes a recording once.
struct ReaderCounts {
  std::int64_t opens = 0;  // decoder opens, reopenings included
  std::int64_t seeks = 0;  // seeks that moved a reader (not one to the start of a fresh reader)
};
ReaderCounts reader_counts();

class VideoReader {
 public:
  // Opens `path` (any container and codec libav reads); is_open() tells
  // whether that worked. Never throws for a bad file.
  explicit VideoReader(const std::string& path);
  ~VideoReader();
  VideoReader(const VideoReader&) = delete;
  VideoReader& operator=(const VideoReader&) = delete;

  // Whether the file opened; every other member needs an open reader.
  bool is_open() const { return impl_ != nullptr; }
  // Returns the frame rate as OpenCV's CAP_PROP_FPS reports it.
  double fps() const;
  // Returns the frame count as OpenCV's CAP_PROP_FRAME_COUNT reports it (the
  // container's count, else duration x rate, rounded).
  double frame_count() const;

  // Returns each frame's presentation time in seconds from the first frame,
  // in presentation order (the order frames are numbered in), when the
  // stream's frames are not evenly spaced (a variable-rate recording);
  // std::nullopt when they are (frame number / rate is exact) or when their
  // stamps cannot order them.
  std::optional<std::vector<double>> uneven_frame_times() const;

  // Positions the reader so that the next read() decodes frame `index`
  // (0-based, in presentation order), as OpenCV's CAP_PROP_POS_FRAMES does.
  void seek(std::int64_t index);
  // Decodes the next frame; returns false at the end of the stream.
  bool read();
  // Returns the number of the current frame (the one read() last decoded:
  // the frame seek() named, then one more per read), or std::nullopt when
  // there is none (nothing read yet, or the last read failed). A caller that
  // needs frame n reads on from here instead of seeking when it is n.
  std::optional<std::int64_t> position() const { return current_; }
  // Returns how many frames the stream held when a read found its end, or
  // std::nullopt when no read has (since the last seek).
  std::optional<std::int64_t> ended_at() const { return ended_at_; }

  // Size of the current frame in pixels.
  cv::Size frame_size() const;
  // Returns `region` (pixels, end-exclusive, inside the frame) of the
  // current frame as CV_8UC3 BGR, converted as OpenCV's capture converts it.
  cv::Mat bgr(const cv::Rect& region) const;
  // Returns `region` (inside the frame) of the current frame for JPEG
  // encoding without passing through BGR, or std::nullopt when the frame is
  // not 4:2:0 or the region's corner is odd (its chroma would not line up).
  std::optional<FrameRegion> yuv420(const cv::Rect& region) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::optional<std::int64_t> current_, ended_at_;
  std::int64_t next_ = 0;
};

}  // namespace pelk::internal
