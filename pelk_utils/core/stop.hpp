// Stopping long work on request. Operations that walk many items (files,
// frames, ranges, masks) call throw_if_stop_requested() between items; a
// caller stops them from another thread or a signal handler with
// request_stop(), or installs a check (the Python package asks the
// interpreter for a pending Ctrl-C).
#pragma once

#include <functional>
#include <stdexcept>

namespace pelk {

// Thrown between items when a stop was requested. Work already finished is
// kept; files are only ever replaced whole, so none is left half-written.
class StopRequested : public std::runtime_error {
 public:
  StopRequested() : std::runtime_error("stopped on request") {}
};

// Returns true when the calling thread's work should stop. Called at most
// every few tens of milliseconds per thread, never under a library lock.
using StopCheck = std::function<bool()>;

// Installs `check` (empty: none) and returns the one it replaces.
StopCheck set_stop_check(StopCheck check);

// Asks every running operation to stop at its next item. Async-signal-safe.
void request_stop() noexcept;

// Withdraws a request, so that later operations run (call it before new work).
void clear_stop_request() noexcept;

// Returns whether request_stop() was called since the last clear.
bool stop_requested() noexcept;

// Throws StopRequested when a stop was requested or the installed check says so.
void throw_if_stop_requested();

}  // namespace pelk
