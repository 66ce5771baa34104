// A file written piece by piece and put in place whole: the text goes to a
// temporary file beside the target, renamed over it by commit(). Long
// outputs (a day's tracks) stream through it with flat memory; a failure or
// an exception before commit() leaves the old file (or none) and no
// temporary behind.
#pragma once

#include <fstream>
#include <string>
#include <string_view>

namespace pelk {

class StreamedFile {
 public:
  // Opens the temporary file beside `path`; throws std::runtime_error naming
  // `path` when it cannot be created.
  explicit StreamedFile(std::string path);
  ~StreamedFile();
  StreamedFile(const StreamedFile&) = delete;
  StreamedFile& operator=(const StreamedFile&) = delete;

  void write(std::string_view text);
  // Flushes and renames the temporary file to the target; throws
  // std::runtime_error naming the target when either fails.
  void commit();

 private:
  std::string path_, temporary_;
  std::ofstream out_;
  bool committed_ = false;
};

}  // namespace pelk
