// pelk catalog: lists the camera recordings under a folder as a table.
#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <regex>
#include <iostream>

#include "commands.hpp"
#include "pelk_utils/core/csv.hpp"
#include "pelk_utils/video/catalogue.hpp"

namespace pelk::cli {
namespace {

struct CatalogOptions {
  VideoMetadata metadata;
  std::string camera;
  std::string csv;
};

}  // namespace

// Recording names with a real date and time: a month 13 or an hour 25 is a
// misnamed file, not a recording. The groups are the library's four.
constexpr const char* kRecordingName =
    R"(Camera(\d+)_(\d+)_(\d{4}(?:0[1-9]|1[0-2])(?:0[1-9]|[12]\d|3[01]))((?:[01]\d|2[0-3])[0-5]\d[0-5]\d)\.mp4$)";

// Names, on standard error, the files of the sub-folders that are not
// recordings (a ".MP4", a misnamed or misdated file): they are left out,
// and a person should know.
void name_files_left_out(const VideoMetadata& metadata) {
  namespace fs = std::filesystem;
  const std::regex recording(kRecordingName);
  std::vector<std::string> left_out;
  for (const std::string& sub : metadata.sub_dirs) {
    std::error_code ec;
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(metadata.base_dir) / sub, ec)) {
      std::error_code type_ec;
      if (!e.is_regular_file(type_ec)) continue;
      const std::string name = e.path().filename().string();
      if (name.empty() || name[0] == '.') continue;
      if (!std::regex_match(name, recording)) names.push_back((fs::path(sub) / name).string());
    }
    std::sort(names.begin(), names.end());
    left_out.insert(left_out.end(), names.begin(), names.end());
  }
  if (left_out.empty()) return;
  std::string shown;
  for (std::size_t i = 0; i < left_out.size() && i < 5; ++i) shown += (i ? ", " : "") + left_out[i];
  if (left_out.size() > 5) shown += " and " + std::to_string(left_out.size() - 5) + " more";
  std::cerr << "pelk: left out " << counted(left_out.size(), "file") << " whose names are not recordings "
            << "(Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4 with a real date and time): " << shown << "\n";
}

// Returns `text` as HH:MM:SS when it is a time of day (H:MM, HH:MM or
// HH:MM:SS), else "" : the window compares times as text.
std::string time_of_day(const std::string& text) {
  static const std::regex kTime(R"((\d{1,2}):([0-5]\d)(?::([0-5]\d))?)");
  std::smatch m;
  if (!std::regex_match(text, m, kTime) || std::stoi(m[1].str()) > 23) return "";
  const std::string hours = m[1].length() == 1 ? "0" + m[1].str() : m[1].str();
  return hours + ":" + m[2].str() + ":" + (m[3].matched ? m[3].str() : "00");
}

CLI::Validator time_of_day_check() {
  return CLI::Validator(
      [](std::string& text) {
        const std::string normal = time_of_day(text);
        if (normal.empty()) return "'" + text + "' is not a time of day HH:MM:SS (00:00:00 to 23:59:59)";
        text = normal;
        return std::string();
      },
      "HH:MM:SS");
}

CatalogueTable catalogue_for(VideoMetadata& metadata, const std::string& camera) {
  if (!camera.empty()) metadata.camera_number = camera;
  metadata.match_pattern = kRecordingName;
  for (const std::string& sub : metadata.sub_dirs) {
    const std::filesystem::path folder = std::filesystem::path(metadata.base_dir) / sub;
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
      throw CLI::ValidationError("--sub-dir", "folder '" + folder.string() + "' does not exist");
    }
  }
  name_files_left_out(metadata);
  CatalogueTable table;
  quietly([&] { table = get_video_dataframe_in_time_order(metadata); });
  return table;
}

void add_catalogue_filters(CLI::App& command, VideoMetadata& m, std::string& camera) {
  command.add_option("base_dir", m.base_dir, "Folder holding one sub-folder per camera or day")
      ->required()
      ->check(CLI::ExistingDirectory);
  command.add_option("--sub-dir", m.sub_dirs, "Sub-folders to list (one level, .mp4 files)")->required();
  command.add_option("--from", m.filter_start, "Keep recordings that start after this time of day (HH:MM:SS)")
      ->capture_default_str()
      ->transform(time_of_day_check());
  command.add_option("--to", m.filter_end, "Keep recordings that start before this time of day (HH:MM:SS)")
      ->capture_default_str()
      ->transform(time_of_day_check());
  command.add_option("--every", m.sample_step, "Keep every n-th recording, counted in order of camera, date and "
                                               "time (0: all)")->capture_default_str()->check(CLI::NonNegativeNumber);
  command.add_option("--top", m.top_n, "Keep the first n recordings (below 1: all)")->capture_default_str();
  command.add_option("--camera", camera, "Keep one camera number (as in the file name)")
      ->check(CLI::Validator(
          [](std::string& text) {
            const bool digits = !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos;
            return digits ? std::string() : "'" + text + "' is not a camera number (digits, as in Camera61_...: 61)";
          },
          "DIGITS"));
  command.footer("Recordings are put in order of camera, date and time before the window (--from, --to), the "
                 "thinning (--every) and the count (--top), so every machine keeps the same ones.");
}

namespace {

void run(CatalogOptions& o) {
  const CatalogueTable table = catalogue_for(o.metadata, o.camera);
  std::vector<std::vector<std::optional<std::string>>> rows;
  for (const CatalogueRow& r : table) rows.push_back({r.camera_number, r.date, r.time, r.file_path, r.video_name});
  if (!o.csv.empty()) {
    write_csv(o.csv, kCatalogueColumns, rows);
    std::cout << counted(table.size(), "recording") << " written to " << o.csv << "\n";
    return;
  }
  std::printf("%-7s %-9s %-9s %s\n", "Camera", "Date", "Time", "File Path");
  for (const CatalogueRow& r : table) {
    std::printf("%-7s %-9s %-9s %s\n", r.camera_number.c_str(), r.date.c_str(), r.time.c_str(), r.file_path.c_str());
  }
  std::printf("%s\n", counted(table.size(), "recording").c_str());
}

}  // namespace

void add_catalog_command(CLI::App& app) {
  auto o = std::make_shared<CatalogOptions>();
  CLI::App* c = app.add_subcommand("catalog", "List camera recordings (Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4) by camera, "
                                              "date and time of day, as a table or a CSV file");
  add_catalogue_filters(*c, o->metadata, o->camera);
  c->add_option("--csv", o->csv, "Write the catalogue as CSV to this file instead of printing a table");
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
