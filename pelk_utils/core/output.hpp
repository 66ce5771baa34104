// Where the library's progress lines and messages go. Every operation writes
// through one sink; the default writes to standard output, and a caller (the
// Python package, a GUI, a logger) may install its own. The sink may be
// called from several threads at once and is never called under a library lock.
#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <string_view>

namespace pelk {

// Receives one message: one or more whole lines, each ending in "\n" (a few
// messages end without one, exactly as they print).
using OutputSink = std::function<void(std::string_view text)>;

// Installs `sink` for every later message and returns the one it replaces;
// an empty function restores the default (standard output).
OutputSink set_output_sink(OutputSink sink);

// Sends `text` to the installed sink; empty text is dropped.
void write_output(std::string_view text);

// A message built with <<, sent to the sink whole when the statement ends:
//   output() << "Saved " << n << " frames\n";
class OutputMessage {
 public:
  OutputMessage() = default;
  OutputMessage(const OutputMessage&) = delete;
  OutputMessage& operator=(const OutputMessage&) = delete;
  // Sends the message; a sink's own failure is dropped. Only a thread's
  // forced exit (a thread cancelled inside the sink) passes through.
  ~OutputMessage() noexcept(false);

  template <typename T>
  OutputMessage& operator<<(const T& value) {
    text_ << value;
    return *this;
  }

 private:
  std::ostringstream text_;
};

// Returns a new message to write into with <<.
inline OutputMessage output() { return {}; }

}  // namespace pelk
