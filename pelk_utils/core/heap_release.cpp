#include "pelk_utils/core/heap_release.hpp"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace pelk {

std::size_t resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long size = 0, resident = 0;
  const int read = std::fscanf(f, "%lu %lu", &size, &resident);
  std::fclose(f);
  return read == 2 ? resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

void HeapRelease::between_items() {
  const std::size_t now = resident_bytes();
  if (mark_ == 0) {
    mark_ = now;  // one item's worth, held for the next
    return;
  }
  if (now <= mark_ + mark_ / 2 + (std::size_t{64} << 20)) return;
  ::malloc_trim(0);
  mark_ = std::max(mark_, resident_bytes());
}

}  // namespace pelk
