#include "pelk_utils/core/output.hpp"

#include <iostream>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <memory>
#include <mutex>
#include <utility>

namespace pelk {
namespace {

std::mutex& sink_mutex() {
  static std::mutex m;
  return m;
}

// Shared so that a message in flight keeps its sink alive while another
// thread installs a new one; the lock only guards the pointer, never a call.
std::shared_ptr<const OutputSink>& current_sink() {
  static auto* sink = new std::shared_ptr<const OutputSink>();  // outlives static destruction
  return *sink;
}

}  // namespace

OutputSink set_output_sink(OutputSink sink) {
  auto next = sink ? std::make_shared<const OutputSink>(std::move(sink)) : nullptr;
  std::shared_ptr<const OutputSink> previous;
  {
    std::lock_guard lock(sink_mutex());
    previous = std::exchange(current_sink(), std::move(next));
  }
  return previous ? *previous : OutputSink();
}

void write_output(std::string_view text) {
  if (text.empty()) return;
  std::shared_ptr<const OutputSink> sink;
  {
    std::lock_guard lock(sink_mutex());
    sink = current_sink();
  }
  if (sink) {
    (*sink)(text);
  } else {
    std::cout << text;
  }
}

OutputMessage::~OutputMessage() noexcept(false) {
  try {
    write_output(text_.str());
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended (an interpreter exiting): let it go
#endif
  } catch (...) {
    // The message is lost, the operation goes on.
  }
}

}  // namespace pelk
