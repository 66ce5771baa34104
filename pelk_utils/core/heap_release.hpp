// Gives freed memory back to the system between the clips of a long run,
// only when the process has grown: handing it back after every clip makes
// the next clip fault every page in again (a fifth of a day's reading time),
// while never handing it back lets the loader threads' heaps keep what they
// once held.
#pragma once

#include <cstddef>

namespace pelk {

class HeapRelease {
 public:
  // Call between items (the previous one freed): the first call marks the
  // resident size, one item's worth; later calls release freed memory when
  // the resident size has grown by more than half (and 64 MiB) over it.
  void between_items();

 private:
  std::size_t mark_ = 0;  // resident bytes after the last release
};

// Returns the process's resident set size in bytes (0 when unknown).
std::size_t resident_bytes();

}  // namespace pelk
