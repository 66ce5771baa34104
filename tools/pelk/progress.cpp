// The progress bar of long commands (declared in cli_common.hpp), in its own
// file so that the light `pelk` links it without the rest of the shared layer.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli_common.hpp"

namespace pelk::cli {

Progress::Progress(std::string what, std::size_t total)
    : what_(std::move(what)), total_(total), enabled_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

Progress::~Progress() {
  if (enabled_ && done_ > 0) draw(true);
}

void Progress::step() {
  ++done_;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ > std::chrono::milliseconds(100) || done_ == total_) {
    last_draw_ = now;
    draw(false);
  }
}

void Progress::draw(bool last) {
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = elapsed > 0 ? done_ / elapsed : 0;
  const double left = rate > 0 && total_ > done_ ? (total_ - done_) / rate : 0;
  const int width = 30;
  const int filled = total_ > 0 ? static_cast<int>(width * std::min<double>(1.0, static_cast<double>(done_) / total_)) : 0;
  std::fprintf(stderr, "\r%-12s [%s%s] %zu/%zu  %.1f/s  %.0f s left ", what_.c_str(), std::string(filled, '#').c_str(),
               std::string(width - filled, '.').c_str(), done_, total_, rate, left);
  if (last) std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

}  // namespace pelk::cli
