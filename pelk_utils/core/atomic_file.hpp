// Atomic file replacement: a file the library rewrites is written to a
// temporary file in the target's folder and renamed over the target, so a
// crash or a failed write leaves either the old or the new content.
#pragma once

#include <string>

namespace pelk {

// Replaces the file at `path` with `content`; throws std::runtime_error
// naming the path when the temporary file cannot be written or renamed. The
// temporary file is removed on failure.
void write_file_atomically(const std::string& path, const std::string& content);

}  // namespace pelk
