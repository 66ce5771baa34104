#include "pelk_utils/video/catalogue.hpp"

#include <algorithm>
#include <filesystem>
#include <regex>
#include <tuple>
#include <stdexcept>

#include "pelk_utils/core/path.hpp"
#include "pelk_utils/video/internal/video_reader.hpp"
#include "pelk_utils/core/py_text.hpp"
#include "pelk_utils/core/output.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string file_name(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> mp4_files(const VideoMetadata& m) {
  std::vector<std::string> files;
  std::error_code base_ec;
  if (fs::exists(m.base_dir, base_ec) && !fs::is_directory(m.base_dir, base_ec)) {
    throw std::invalid_argument("base '" + m.base_dir + "' is not a folder");
  }
  for (const std::string& sub : m.sub_dirs) {
    const std::string full_path = join_path(m.base_dir, sub);
    std::error_code ec;
    if (!fs::exists(full_path, ec)) continue;
    if (!fs::is_directory(full_path, ec)) throw std::invalid_argument("sub-folder '" + full_path + "' is not a folder");
    for (const auto& entry : fs::directory_iterator(full_path)) {
      const std::string name = entry.path().filename().string();
      if (ends_with(name, ".mp4")) files.push_back(join_path(full_path, name));
    }
  }
  return files;
}

// Keeps the rows at positions 0, step, 2 step, ... (Python slicing [::step];
// a negative step walks back from the last row).
CatalogueTable thin(const CatalogueTable& rows, int step) {
  if (step == 0) return rows;
  CatalogueTable out;
  const long n = static_cast<long>(rows.size());
  if (step > 0) {
    for (long i = 0; i < n; i += step) out.push_back(rows[static_cast<std::size_t>(i)]);
  } else {
    for (long i = n - 1; i >= 0; i += step) out.push_back(rows[static_cast<std::size_t>(i)]);
  }
  return out;
}

void walk(const std::string& dir, const std::optional<std::string>& ext, std::vector<std::string>& out) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return;
  std::vector<std::string> files, subdirs;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    std::error_code type_ec;
    const std::string name = it->path().filename().string();
    if (it->is_directory(type_ec)) {
      if (!it->is_symlink(type_ec)) subdirs.push_back(name);
    } else {
      files.push_back(name);
    }
  }
  std::sort(files.begin(), files.end());
  std::sort(subdirs.begin(), subdirs.end());
  for (const std::string& f : files) {
    if (!ext || ends_with(f, *ext)) out.push_back(join_path(dir, f));
  }
  for (const std::string& s : subdirs) walk(join_path(dir, s), ext, out);
}

}  // namespace

std::optional<CatalogueRow> match_camera_file(const std::string& path, const std::regex& pattern) {
  const std::string name = file_name(path);
  // No file system holds longer names; longer text would only feed the
  // recursive regex matcher.
  if (name.size() > 255) return std::nullopt;
  std::smatch m;
  if (!std::regex_search(name, m, pattern, std::regex_constants::match_continuous)) return std::nullopt;
  const std::string t = m[4].str();
  CatalogueRow row;
  row.camera_number = m[1].str();
  row.date = m[3].str();
  row.time = t.size() >= 6 ? t.substr(0, 2) + ":" + t.substr(2, 2) + ":" + t.substr(4, 2) : t;
  row.file_path = path;
  row.video_name = name.size() >= 4 ? name.substr(0, name.size() - 4) : name;
  return row;
}

namespace {

// Camera numbers compare as numbers ("9" before "61"), then date and time.
bool earlier(const CatalogueRow& a, const CatalogueRow& b) {
  const auto key = [](const CatalogueRow& r) {
    return std::tie(r.camera_number, r.date, r.time, r.file_path);
  };
  if (a.camera_number.size() != b.camera_number.size()) return a.camera_number.size() < b.camera_number.size();
  return key(a) < key(b);
}

// The catalogue of `m`, optionally put in time order before it is filtered.
CatalogueTable filtered(const VideoMetadata& m, bool in_time_order) {
  const std::string& match_pattern = m.match_pattern;
  const std::string& filter_start = m.filter_start;
  const std::string& filter_end = m.filter_end;
  const int sample_step = m.sample_step;
  const int top_n = m.top_n;
  const std::optional<std::string>& camera_number = m.camera_number;
  std::regex pattern;
  try {
    pattern = std::regex(match_pattern);
  } catch (const std::regex_error& e) {
    throw std::invalid_argument("match_pattern '" + match_pattern + "' is not a valid regular expression: " + e.what());
  }
  if (pattern.mark_count() < 4) {
    throw std::invalid_argument("match_pattern '" + match_pattern + "' needs four groups (camera, number, date, time)");
  }
  CatalogueTable rows;
  for (const std::string& path : mp4_files(m)) {
    std::optional<CatalogueRow> row = match_camera_file(path, pattern);
    if (!row) continue;
    rows.push_back(std::move(*row));
  }
  if (in_time_order) std::sort(rows.begin(), rows.end(), earlier);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].label = i;
  CatalogueTable windowed;
  for (const CatalogueRow& r : rows) {
    if (r.time > filter_start && r.time < filter_end) windowed.push_back(r);
  }
  CatalogueTable kept;
  for (const CatalogueRow& r : thin(windowed, sample_step)) {
    if (!camera_number || r.camera_number == *camera_number) kept.push_back(r);
  }
  if (top_n >= 1 && kept.size() > static_cast<std::size_t>(top_n)) kept.resize(static_cast<std::size_t>(top_n));
  std::vector<std::string> paths;
  for (const CatalogueRow& r : kept) paths.push_back(r.file_path);
  output() << python_list_repr(paths) << "\n";
  return kept;
}

}  // namespace

CatalogueTable VideoMetadata::get_filtered_video_dataframe() const { return filtered(*this, false); }

CatalogueTable get_video_dataframe_in_time_order(const VideoMetadata& metadata) { return filtered(metadata, true); }

std::map<std::string, double> recording_rates(const std::string& directory) {
  std::map<std::string, double> rates;
  for (const std::string& path : list_all_files(directory, ".mp4")) {
    const internal::VideoReader reader(path);
    if (reader.is_open() && reader.fps() > 0) rates[fs::path(path).stem().string()] = reader.fps();
  }
  return rates;
}

std::map<std::string, std::string> recording_files(const std::string& directory) {
  std::map<std::string, std::string> files;
  for (const std::string& path : list_all_files(directory, ".mp4")) files.emplace(fs::path(path).stem().string(), path);
  return files;
}

std::optional<std::vector<double>> recording_frame_times(const std::string& path) {
  const internal::VideoReader reader(path);
  if (!reader.is_open()) return std::nullopt;
  return reader.uneven_frame_times();
}

std::vector<std::string> list_all_files(const std::string& directory, const std::optional<std::string>& ext) {
  std::vector<std::string> out;
  walk(directory, ext, out);
  return out;
}

}  // namespace pelk
