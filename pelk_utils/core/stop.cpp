#include "pelk_utils/core/stop.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

namespace pelk {
namespace {

// Lock-free, so that request_stop() may run in a signal handler.
std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// How often an installed check runs per thread: often enough to stop well
// within a fifth of a second, rarely enough to cost nothing.
constexpr auto kCheckInterval = std::chrono::milliseconds(20);

std::mutex& check_mutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<const StopCheck>& current_check() {
  static auto* check = new std::shared_ptr<const StopCheck>();  // outlives static destruction
  return *check;
}

bool installed_check_says_stop() {
  thread_local auto last = std::chrono::steady_clock::time_point{};
  const auto now = std::chrono::steady_clock::now();
  if (now - last < kCheckInterval) return false;
  last = now;
  std::shared_ptr<const StopCheck> check;
  {
    std::lock_guard lock(check_mutex());
    check = current_check();
  }
  return check && (*check)();
}

}  // namespace

StopCheck set_stop_check(StopCheck check) {
  auto next = check ? std::make_shared<const StopCheck>(std::move(check)) : nullptr;
  std::shared_ptr<const StopCheck> previous;
  {
    std::lock_guard lock(check_mutex());
    previous = std::exchange(current_check(), std::move(next));
  }
  return previous ? *previous : StopCheck();
}

void request_stop() noexcept { g_requested.store(true, std::memory_order_relaxed); }

void clear_stop_request() noexcept { g_requested.store(false, std::memory_order_relaxed); }

bool stop_requested() noexcept { return g_requested.load(std::memory_order_relaxed); }

void throw_if_stop_requested() {
  if (stop_requested() || installed_check_says_stop()) throw StopRequested();
}

}  // namespace pelk
