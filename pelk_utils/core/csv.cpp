#include "pelk_utils/core/csv.hpp"

#include "pelk_utils/core/atomic_file.hpp"

namespace pelk {

std::string csv_field(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string out = "\"";
  for (const char ch : field) {
    if (ch == '"') out += '"';
    out += ch;
  }
  return out + "\"";
}

std::string csv_text(const std::vector<std::string>& header, const std::vector<CsvRow>& rows) {
  std::string out;
  auto write_line = [&out](const auto& fields, auto&& text_of) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i > 0) out += ',';
      out += text_of(fields[i]);
    }
    out += '\n';
  };
  write_line(header, [](const std::string& f) { return csv_field(f); });
  for (const CsvRow& row : rows) {
    write_line(row, [](const std::optional<std::string>& f) { return f ? csv_field(*f) : std::string(); });
  }
  return out;
}

void write_csv(const std::string& path, const std::vector<std::string>& header, const std::vector<CsvRow>& rows) {
  write_file_atomically(path, csv_text(header, rows));
}

}  // namespace pelk
