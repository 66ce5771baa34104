#include "pelk_utils/annotation/clip_loader.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

#include <opencv2/core.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/polygon_masks.hpp"
#include "pelk_utils/core/image_size.hpp"
#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/core/path.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

// Returns the frame number of a file name, or -1 when the name is not an
// annotation file name.
long long annotation_number(const std::string& name) {
  static const std::regex kNumber("_(\\d+)$");
  if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) return -1;
  const std::string stem = name.substr(0, name.rfind('.'));
  std::smatch m;
  if (!std::regex_search(stem, m, kNumber)) return -1;
  const std::string digits = m[1].str();
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  if (digits.size() - first > 18) return std::numeric_limits<long long>::max();
  return std::stoll(digits.substr(first));
}

// Names what a directory entry is, for errors about entries that are not
// regular files.
std::string kind_of(const fs::directory_entry& entry) {
  std::error_code ec;
  const fs::file_status target = entry.status(ec);
  if (entry.is_symlink(ec) && !fs::exists(target)) return "a dangling symbolic link";
  switch (target.type()) {
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::socket: return "a socket";
    case fs::file_type::block: return "a block device";
    case fs::file_type::character: return "a character device";
    case fs::file_type::not_found: return "it vanished while the folder was read";
    default: return "not a file";
  }
}

void walk(const std::string& dir, std::vector<std::string>& out) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return;
  std::vector<std::pair<long long, std::string>> files;
  std::vector<std::string> subdirs;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const std::string name = it->path().filename().string();
    std::error_code type_ec;
    const long long number = annotation_number(name);
    if (it->is_directory(type_ec)) {
      // A folder under a frame's file name would hide that frame.
      if (number >= 0) {
        throw std::runtime_error("annotation file '" + join_path(dir, name) + "' is a folder, not a file");
      }
      if (!it->is_symlink(type_ec)) subdirs.push_back(name);
      continue;
    }
    if (number < 0) continue;
    // Only regular files (or links to one) are read: a FIFO or a device
    // would block or never end, and skipping a dangling link would lose
    // the frame without a word.
    if (!it->is_regular_file(type_ec)) {
      throw std::runtime_error("annotation file '" + join_path(dir, name) + "' is not a readable regular file (" +
                               kind_of(*it) + ")");
    }
    files.emplace_back(number, name);
  }
  std::stable_sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [number, name] : files) out.push_back(join_path(dir, name));
  std::sort(subdirs.begin(), subdirs.end());
  for (const std::string& sub : subdirs) walk(join_path(dir, sub), out);
}

FrameRecord load_record(const std::string& path, cv::Size size, bool refuse_repeated_ids) {
  PolygonMasks pm = process_json_and_generate_masks(path, size.height, size.width);
  if (refuse_repeated_ids) {
    BoxNumbersSeen seen("'" + path + "'");
    for (std::size_t i = 0; i < pm.boxkeys.size(); ++i) seen.add(pm.boxkeys[i], i);
  }
  FrameRecord record;
  record.frame_index = frame_index_of(path);
  for (std::size_t i = 0; i < pm.masks.size(); ++i) {
    record.masks_dict.insert_or_assign(box_key(pm.boxkeys[i]), std::move(pm.masks[i]));
  }
  record.mask_areas = mask_areas(record.masks_dict);
  record.json_path = path;
  record.image_path = std::move(pm.image_path);
  return record;
}

// Loads every file (with intersections tables when `tables`) on `threads`
// threads. Records come back in file order; when files fail,
// the error of the first failing file in that order is thrown, as a loop
// over the files would throw it.
std::vector<FrameRecord> load_records(const std::vector<std::string>& files, cv::Size size, bool tables,
                                      unsigned threads, bool refuse_repeated_ids = false) {
  const std::size_t n = files.size();
  std::vector<FrameRecord> records(n);
  std::vector<std::exception_ptr> errors(n);
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < n; i = next++) {
      try {
        throw_if_stop_requested();
        records[i] = load_record(files[i], size, refuse_repeated_ids);
        if (tables) records[i].intersections_df = intersection_between_masks(records[i].masks_dict, records[i].mask_areas);
      } catch (const StopRequested&) {
        errors[i] = std::current_exception();
        next = n;  // hand out no further file; the ones before it are finished
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
  const std::size_t helpers = std::min<std::size_t>(std::max(1u, threads), std::max<std::size_t>(n, 1)) - 1;
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  for (const std::exception_ptr& e : errors) {
    if (e) std::rethrow_exception(e);
  }
  return records;
}

unsigned loader_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

cv::Size clip_size(const std::string& first_file) {
  const nlohmann::json doc = read_annotation_json(first_file);
  const nlohmann::json& image_path = require_key(doc, "image_path", "'" + first_file + "'");
  if (!image_path.is_string()) throw std::invalid_argument("'" + first_file + "': \"image_path\" is not a string");
  const std::string path = image_path.get<std::string>();
  const std::optional<cv::Size> size = image_size_of(path);
  if (!size) {
    throw std::runtime_error("cannot read image '" + path + "' named by the first annotation file '" + first_file +
                             "'");
  }
  return *size;
}

}  // namespace

std::vector<std::string> list_annotation_files(const std::string& base_dir) {
  std::vector<std::string> out;
  std::error_code ec;
  if (fs::is_directory(base_dir, ec)) walk(base_dir, out);
  return out;
}

std::int64_t frame_index_of(const std::string& json_path) {
  const auto at = json_path.rfind("output_pp_");
  if (at == std::string::npos) {
    throw std::invalid_argument("annotation file '" + json_path + "' has no \"output_pp_\" in its path");
  }
  std::string text = json_path.substr(at + 10);
  text = text.substr(0, text.find('.'));
  std::int64_t value = 0;
  const char* begin = text.data() + (!text.empty() && text[0] == '+' ? 1 : 0);
  const auto res = std::from_chars(begin, text.data() + text.size(), value);
  if (text.empty() || res.ec != std::errc() || res.ptr != text.data() + text.size()) {
    throw std::invalid_argument("annotation file '" + json_path + "': frame number '" + text +
                                "' after \"output_pp_\" is not a 64-bit integer");
  }
  return value;
}

AnnotationData get_pelk_annotation_data(const std::string& /*video_dir*/, bool last_or_not, int ixx,
                                        const std::string& save_dir_base) {
  const std::vector<std::string> files = list_annotation_files(save_dir_base);
  if (files.empty()) {
    output() << "No JSON files found in " << save_dir_base << ". Please check the directory and try again.\n";
    return {};
  }
  const cv::Size size = clip_size(files.front());
  const int n = static_cast<int>(files.size());
  AnnotationData out;
  if (ixx > 0) {
    if (last_or_not) load_records(files, size, false, loader_threads());
    out.pelk_annotation_data.emplace();
    if (ixx < n) {
      FrameRecord record = load_record(files[static_cast<std::size_t>(ixx)], size, false);
      out.last_frame = record;
      out.pelk_annotation_data->emplace(ixx, std::move(record));
    }
    return out;
  }
  ClipAnnotationData clip = internal::load_clip_files(files, size, loader_threads());
  out.last_frame = clip.rbegin()->second;
  out.pelk_annotation_data = std::move(clip);
  return out;
}

namespace {

ClipAnnotationData load_clip(const std::string& dir, bool tables, bool refuse_repeated_ids) {
  const std::vector<std::string> files = list_annotation_files(dir);
  if (files.empty()) return {};
  std::vector<FrameRecord> records = load_records(files, clip_size(files.front()), tables, loader_threads(), refuse_repeated_ids);
  ClipAnnotationData clip;
  for (std::size_t p = 0; p < records.size(); ++p) clip.emplace(static_cast<int>(p), std::move(records[p]));
  return clip;
}

}  // namespace

ClipAnnotationData load_clip_masks(const std::string& dir, bool refuse_repeated_ids) {
  return load_clip(dir, false, refuse_repeated_ids);
}

ClipAnnotationData load_whole_clip(const std::string& dir) { return load_clip(dir, true, true); }

AnnotationData whole_clip_data(const std::string& dir) {
  ClipAnnotationData clip = load_whole_clip(dir);
  AnnotationData out;
  if (clip.empty()) return out;
  out.last_frame = clip.rbegin()->second;
  out.pelk_annotation_data = std::move(clip);
  return out;
}

namespace internal {

ClipAnnotationData load_clip_files(const std::vector<std::string>& files, cv::Size size, unsigned threads) {
  std::vector<FrameRecord> records = load_records(files, size, true, threads);
  ClipAnnotationData clip;
  for (std::size_t p = 0; p < records.size(); ++p) clip.emplace(static_cast<int>(p), std::move(records[p]));
  return clip;
}

}  // namespace internal
}  // namespace pelk
