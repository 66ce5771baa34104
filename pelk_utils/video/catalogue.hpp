// Video catalogue: the camera recordings under a base folder
// ("Camera<cam>_<n>_<YYYYMMDD><HHMMSS>.mp4"), as a table filtered by time of
// day, thinned by a fixed step and optionally limited to one camera and a
// count. The table feeds the batch frame extraction.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace pelk {

// One recording. `label` is the row's position in the unfiltered table and
// survives every filter.
struct CatalogueRow {
  std::size_t label = 0;
  std::string camera_number;  // "Camera Number", digits as written
  std::string date;           // "Date", eight digits as written
  std::string time;           // "Time", HH:MM:SS
  std::string file_path;      // "File Path"
  std::string video_name;     // "Video Name": file name without ".mp4"
  friend bool operator==(const CatalogueRow&, const CatalogueRow&) = default;
};

using CatalogueTable = std::vector<CatalogueRow>;

inline const std::vector<std::string> kCatalogueColumns = {"Camera Number", "Date", "Time", "File Path", "Video Name"};

// Returns the catalogue row (label 0) of the file at `path` when its name
// matches `pattern` from its first character (groups: camera number, number,
// date, time), or std::nullopt. Names longer than 255 bytes never match.
std::optional<CatalogueRow> match_camera_file(const std::string& path, const std::regex& pattern);

struct VideoMetadata {
  std::string base_dir;
  std::vector<std::string> sub_dirs;
  std::string filter_start = "06:00:00";  // exclusive
  std::string filter_end = "17:00:00";    // exclusive
  int sample_step = 3;                    // keep every n-th row (0: all; negative: from the last row backwards)
  int top_n = -1;                         // keep the first n rows (below 1: all)
  std::string match_pattern = R"(Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4)";  // anchored at the name's start
  std::optional<std::string> camera_number;  // keep one camera (text comparison)

  // Lists the ".mp4" files of each existing sub-folder (one level, listing
  // order), catalogues the names matching `match_pattern`, keeps the times
  // strictly inside the window, thins, filters the camera, keeps `top_n`, and
  // prints the remaining paths as a Python list of quoted paths. Throws
  // std::invalid_argument when `match_pattern` is not a valid regular
  // expression with at least four groups; listing errors propagate.
  CatalogueTable get_filtered_video_dataframe() const;
};

// As get_filtered_video_dataframe, but the recordings are put in order of
// camera (by number), date and time before the window, the thinning and the
// count are applied, so the same recordings are kept on every machine
// whatever order its file system lists them in.
CatalogueTable get_video_dataframe_in_time_order(const VideoMetadata& metadata);

// Returns the frame rate of every ".mp4" recording under `directory` (any
// depth), by file name without ".mp4"; recordings that cannot be opened or
// report no rate are left out. Frame times of extracted frames use them.
std::map<std::string, double> recording_rates(const std::string& directory);

// Returns the path of every ".mp4" recording under `directory` (any depth),
// by file name without ".mp4" (the first found when a name repeats).
std::map<std::string, std::string> recording_files(const std::string& directory);

// Returns each frame's time stamp in seconds from the recording's first
// frame, in the order frames are numbered, when `path` is a variable-rate
// recording; std::nullopt when its frames are evenly spaced (frame number /
// rate is exact), when it cannot be opened, or when its stamps cannot order
// its frames.
std::optional<std::vector<double>> recording_frame_times(const std::string& path);

// Returns every file under `directory` whose name ends with `ext` (all files
// when std::nullopt): folders top-down, each folder's files in sorted order
// before its sorted sub-folders, links to folders not followed. A missing
// or unreadable folder gives nothing.
std::vector<std::string> list_all_files(const std::string& directory,
                                        const std::optional<std::string>& ext = std::nullopt);

}  // namespace pelk
