// One guarded way to read JSON files: every JSON document the library reads
// (pen polygons, annotation files) goes through here, so hostile files get the
// same limits everywhere: regular files only, a size cap, a nesting-depth cap,
// and every parser complaint turned into an error that names the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace pelk {

// Limits applied while reading a JSON file. Annotation and pen files are a
// few kilobytes with four levels of nesting; the caps only stop abuse.
struct JsonLimits {
  std::size_t max_bytes = std::size_t{64} << 20;  // 64 MiB
  int max_depth = 256;                            // arrays and objects nested
};

// Returns the whole text of the regular file at `path`. `what` names the
// kind of file in messages ("annotation file"). Throws std::runtime_error
// naming the path when it is missing, not a regular file (a folder, a FIFO,
// a device), unreadable, or larger than `max_bytes`.
std::string read_regular_file(const std::string& path, const std::string& what, std::size_t max_bytes);

// Returns the deepest nesting of arrays and objects in `text`, ignoring
// brackets inside strings. Stops counting once `stop_at` is exceeded.
int json_nesting_depth(const std::string& text, int stop_at);

// Parses `text` as one JSON document. `where` names the source in messages.
// Throws std::invalid_argument naming `where` for text that is not JSON,
// nesting deeper than the limit, or a number out of the double range (1e400).
nlohmann::json parse_json_text(const std::string& text, const std::string& where, const JsonLimits& limits = {});

// Reads and parses the JSON file at `path` within `limits`; `what` names the
// kind of file ("pen polygon file"). Errors as read_regular_file and
// parse_json_text, each naming the path.
nlohmann::json read_json_file(const std::string& path, const std::string& what = "JSON file",
                              const JsonLimits& limits = {});

// Returns the integer held by `value` when it fits a signed 64-bit integer.
// Throws std::invalid_argument naming `where` when it is not an integer or
// is an unsigned value above 2^63 - 1 (it would otherwise wrap).
std::int64_t json_int64(const nlohmann::json& value, const std::string& where);

}  // namespace pelk
