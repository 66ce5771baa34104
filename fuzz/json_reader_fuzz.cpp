// Fuzzes the guarded JSON reader: any text either parses within the limits
// or fails with std::invalid_argument; integers never wrap.
#include <stdexcept>
#include <string>

#include "fuzz/fuzz_target.hpp"
#include "pelk_utils/core/json_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const nlohmann::json doc = pelk::parse_json_text(text, "fuzz input");
    for (const auto& item : doc.is_structured() ? doc : nlohmann::json::array({doc})) {
      if (item.is_number_integer()) {
        try {
          pelk::json_int64(item, "value");
        } catch (const std::invalid_argument&) {
        }
      }
    }
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
