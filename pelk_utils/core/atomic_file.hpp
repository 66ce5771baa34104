// Atomic file replacement: a file the library rewrites is written to a
// temporary file in the target's folder and renamed over the target, so a
// crash or a failed write leaves either the old or the new content, never a
// mix, and the replacement never weakens the file it replaces.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace pelk {

struct AtomicWriteOptions {
  // Flush the data to the disk before the rename (survives a power cut).
  // Frame extraction writes thousands of images and turns it off.
  bool sync = true;
};

// Replaces the file at `path` with `content`. A symbolic link is followed
// and its target replaced; an existing target keeps its permission bits (and
// owner where allowed); a new file gets 0666 less the umask. Refuses, with
// std::runtime_error naming the path and reason, a target that is not a
// regular file, has more than one hard link (replacing it would split the
// links), or that the caller may not write (no write permission, or
// read-only for everyone). The temporary file (".pelk-XXXXXX" beside the
// target) is removed when anything fails; errors carry the system's reason.
void write_file_atomically(const std::string& path, const std::string& content,
                           const AtomicWriteOptions& options = {});

// Encodes `image` in the format of `path`'s extension (cv::imencode: 8-bit
// BGR, BGRA or grey) and replaces `path` as write_file_atomically does.
// Throws std::runtime_error naming the path when the image cannot be encoded.
void write_image_file_atomically(const std::string& path, const cv::Mat& image, const AtomicWriteOptions& options = {});

}  // namespace pelk
