#include "pelk_utils/core/output.hpp"

#include <iostream>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "pelk_utils/core/installed_function.hpp"

namespace pelk {
namespace {

// Never destroyed, so that messages written during static destruction work.
internal::InstalledFunction<OutputSink>& sink() {
  static auto* installed = new internal::InstalledFunction<OutputSink>();
  return *installed;
}

}  // namespace

OutputSink set_output_sink(OutputSink sink_function) { return sink().install(std::move(sink_function)); }

void write_output(std::string_view text) {
  if (text.empty()) return;
  if (const auto installed = sink().get()) {
    (*installed)(text);
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
