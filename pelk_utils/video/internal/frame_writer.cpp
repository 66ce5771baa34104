#include "pelk_utils/video/internal/frame_writer.hpp"

#include <algorithm>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/video/internal/yuv_jpeg.hpp"

namespace pelk::internal {

namespace {
constexpr std::size_t kMaxQueued = 6;

void write(const std::string& path, const FrameWriter::Image& image) {
  constexpr AtomicWriteOptions kNoSync{.sync = false};
  if (const auto* bgr = std::get_if<cv::Mat>(&image)) return write_file_atomically(path, encode_jpeg_bgr(*bgr), kNoSync);
  write_file_atomically(path, std::get<FrameRegion>(image).jpeg(), kNoSync);
}
}  // namespace

FrameWriter::FrameWriter(unsigned threads) {
  const unsigned n = threads > 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this] { run(); });
}

FrameWriter::~FrameWriter() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void FrameWriter::rethrow_locked() {
  if (error_) {
    std::exception_ptr e = error_;
    error_ = nullptr;
    queue_.clear();
    std::rethrow_exception(e);
  }
}

void FrameWriter::submit(std::string path, Image image) {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [this] { return queue_.size() < kMaxQueued || error_; });
  rethrow_locked();
  queue_.emplace_back(std::move(path), std::move(image));
  lock.unlock();
  work_.notify_one();
}

void FrameWriter::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [this] { return (queue_.empty() && busy_ == 0) || error_; });
  rethrow_locked();
}

void FrameWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    work_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    if (queue_.empty()) return;
    auto [path, image] = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    // Room for the submitter only matters when the queue was full.
    const bool was_full = queue_.size() + 1 == kMaxQueued;
    lock.unlock();
    if (was_full) room_.notify_one();
    std::exception_ptr failure;
    try {
      write(path, image);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    --busy_;
    if (failure && !error_) error_ = failure;
    // finish() waits for the last image; an error must reach the submitter.
    if (failure || (queue_.empty() && busy_ == 0)) room_.notify_all();
  }
}

}  // namespace pelk::internal
