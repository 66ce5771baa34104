// Fuzzes the catalogue's camera file-name matcher with the default pattern.
#include <regex>
#include <string>

#include "fuzz/fuzz_target.hpp"
#include "pelk_utils/video/catalogue.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::regex pattern(pelk::VideoMetadata{}.match_pattern);
  const std::string name(reinterpret_cast<const char*>(data), size);
  const auto row = pelk::match_camera_file("/videos/" + name, pattern);
  if (row && (row->date.size() != 8 || row->time.size() != 8)) __builtin_trap();
  return 0;
}
