// Background JPEG writers for frame extraction: the decoding thread hands
// over each finished image and goes on decoding while writer threads encode
// and write them (atomically, each under its own name), so every core works.
// Errors of a write are raised to the caller at its next submit or at finish.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/video/internal/video_reader.hpp"

namespace pelk::internal {

class FrameWriter {
 public:
  // Starts `threads` writers (0: one per hardware thread).
  explicit FrameWriter(unsigned threads = 0);
  ~FrameWriter();  // waits for the queue; errors at this point are dropped
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // A BGR image (CV_8UC3) or a region of a decoded frame; either is
  // encoded as JPEG on a writer thread.
  using Image = std::variant<cv::Mat, FrameRegion>;

  // Queues `image` (kept as given; pass buffers nobody writes to) for
  // `path`. Blocks while a few images wait. Rethrows an earlier write error.
  void submit(std::string path, Image image);
  // Waits until every queued image is written; rethrows a write error.
  void finish();

 private:
  void run();
  void rethrow_locked();

  std::mutex mutex_;
  // Writers wait for work; the submitting thread waits for room (or for the
  // queue to drain). Two conditions, so that no event wakes a thread it does
  // not concern: each wake-up is a trip through the kernel.
  std::condition_variable work_, room_;
  std::deque<std::pair<std::string, Image>> queue_;
  int busy_ = 0;
  bool stopping_ = false;
  std::exception_ptr error_;
  std::vector<std::thread> threads_;
};

}  // namespace pelk::internal
