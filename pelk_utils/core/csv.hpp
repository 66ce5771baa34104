// CSV writing for the library's tables: a header line, then one line per
// row, comma-separated, fields quoted only when they need it; a missing
// value is an empty field. Files are replaced atomically.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelk {

using CsvRow = std::vector<std::optional<std::string>>;

// Returns `field` quoted for CSV when it holds a comma, a quote or a line
// break (inner quotes doubled), unchanged otherwise.
std::string csv_field(const std::string& field);

// Returns the CSV text of `header` and `rows`, each line ended by "\n".
std::string csv_text(const std::vector<std::string>& header, const std::vector<CsvRow>& rows);

// Writes the CSV text of `header` and `rows` to `path`, replacing the file
// atomically; throws std::runtime_error naming the path on failure.
void write_csv(const std::string& path, const std::vector<std::string>& header, const std::vector<CsvRow>& rows);

}  // namespace pelk
