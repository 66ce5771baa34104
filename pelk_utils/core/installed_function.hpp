// A process-wide function a caller may replace at any time (the output sink,
// the stop check): readers take a shared copy under a short lock and call it
// after releasing the lock, so that a call may block or install another.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace pelk::internal {

template <typename F>
class InstalledFunction {
 public:
  // Installs `f` (an empty function uninstalls) and returns the one it replaces.
  F install(F f) {
    auto next = f ? std::make_shared<const F>(std::move(f)) : nullptr;
    std::lock_guard lock(mutex_);
    std::shared_ptr<const F> previous = std::exchange(current_, std::move(next));
    return previous ? *previous : F();
  }

  // Returns the installed function, kept alive for the caller; null when none.
  std::shared_ptr<const F> get() const {
    std::lock_guard lock(mutex_);
    return current_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const F> current_;
};

}  // namespace pelk::internal
