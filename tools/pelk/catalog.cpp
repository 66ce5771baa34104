// pelk catalog: lists the camera recordings under a folder as a table.
#include <cstdio>
#include <filesystem>
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

CatalogueTable catalogue_for(VideoMetadata& metadata, const std::string& camera) {
  if (!camera.empty()) metadata.camera_number = camera;
  for (const std::string& sub : metadata.sub_dirs) {
    const std::filesystem::path folder = std::filesystem::path(metadata.base_dir) / sub;
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
      throw CLI::ValidationError("--sub-dir", "folder '" + folder.string() + "' does not exist");
    }
  }
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
      ->capture_default_str();
  command.add_option("--to", m.filter_end, "Keep recordings that start before this time of day (HH:MM:SS)")
      ->capture_default_str();
  command.add_option("--every", m.sample_step, "Keep every n-th recording, counted in order of camera, date and "
                                               "time (0: all)")->capture_default_str();
  command.add_option("--top", m.top_n, "Keep the first n recordings (below 1: all)")->capture_default_str();
  command.add_option("--camera", camera, "Keep one camera number (as in the file name)");
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
