// Fuzzes the review page's data writer with byte strings as a clip's names,
// box keys and notes (folder and file names on Linux are bytes, not UTF-8).
// The script must always be written, be pure ASCII and hold JSON that parses
// back with every valid UTF-8 string unchanged.
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_target.hpp"
#include "review/review_data.hpp"

namespace {

bool valid_utf8(const std::string& s) {
  try {
    (void)nlohmann::json(s).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = text.find('\0');
  const std::string clip = text.substr(0, cut), rest = cut == std::string::npos ? "" : text.substr(cut + 1);
  nlohmann::json page = {{"clip", clip},
                         {"boxes", {clip, rest}},
                         {"areas", {{rest, {1, 2, 3}}}},
                         {"flagged", {{{"frame", 3}, {"notes", rest + clip}}}},
                         {"number", static_cast<double>(size) / 7}};
  const std::string script = pelk::cli::review_data_script(page);
  const std::string prefix = "window.PELK_REVIEW = ", suffix = ";\n";
  if (script.rfind(prefix, 0) != 0 || script.size() < prefix.size() + suffix.size() ||
      script.compare(script.size() - suffix.size(), suffix.size(), suffix) != 0) {
    __builtin_trap();
  }
  for (const char c : script) {
    if (static_cast<unsigned char>(c) > 127) __builtin_trap();
  }
  const nlohmann::json back =
      nlohmann::json::parse(script.substr(prefix.size(), script.size() - prefix.size() - suffix.size()));
  if (valid_utf8(clip) && back["clip"] != clip) __builtin_trap();
  if (valid_utf8(rest) && back["flagged"][0]["notes"] != rest + clip && valid_utf8(rest + clip)) __builtin_trap();
  return 0;
}
