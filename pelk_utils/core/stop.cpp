#include "pelk_utils/core/stop.hpp"

#include <atomic>
#include <chrono>
#include <utility>

#include "pelk_utils/core/installed_function.hpp"

namespace pelk {
namespace {

// Lock-free, so that request_stop() may run in a signal handler.
std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// How often an installed check runs per thread: often enough to stop well
// within a fifth of a second, rarely enough to cost nothing.
constexpr auto kCheckInterval = std::chrono::milliseconds(20);

// Never destroyed, so that work running during static destruction works.
internal::InstalledFunction<StopCheck>& check() {
  static auto* installed = new internal::InstalledFunction<StopCheck>();
  return *installed;
}

bool installed_check_says_stop() {
  thread_local auto last = std::chrono::steady_clock::time_point{};
  const auto now = std::chrono::steady_clock::now();
  if (now - last < kCheckInterval) return false;
  last = now;
  const auto installed = check().get();
  return installed && (*installed)();
}

}  // namespace

StopCheck set_stop_check(StopCheck function) { return check().install(std::move(function)); }

void request_stop() noexcept { g_requested.store(true, std::memory_order_relaxed); }

void clear_stop_request() noexcept { g_requested.store(false, std::memory_order_relaxed); }

bool stop_requested() noexcept { return g_requested.load(std::memory_order_relaxed); }

void throw_if_stop_requested() {
  if (stop_requested() || installed_check_says_stop()) throw StopRequested();
}

}  // namespace pelk
