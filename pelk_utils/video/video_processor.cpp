#include "pelk_utils/video/video_processor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <numeric>
#include <set>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/path.hpp"
#include "pelk_utils/video/internal/frame_writer.hpp"
#include "pelk_utils/video/internal/video_reader.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

std::string camera_text(const std::optional<std::string>& camera) { return camera.value_or("None"); }

void print_rect(const char* what, const std::optional<std::string>& camera, const CropRect& r) {
  output() << what << camera_text(camera) << ": x1=" << r.x1 << ", y1=" << r.y1 << ", x2=" << r.x2
            << ", y2=" << r.y2 << "\n";
}

// Normalises a slice bound as Python does: negative counts from the end,
// out-of-range values clamp to the edge.
int slice_bound(int v, int size) {
  if (v < 0) v += size;
  return std::clamp(v, 0, size);
}

// Returns `r` as a rectangle inside a frame of `size`, bounds normalised as
// Python slices; throws std::invalid_argument when nothing is left.
cv::Rect crop_region(const CropRect& r, cv::Size size) {
  const int x1 = slice_bound(r.x1, size.width), x2 = slice_bound(r.x2, size.width);
  const int y1 = slice_bound(r.y1, size.height), y2 = slice_bound(r.y2, size.height);
  if (x2 <= x1 || y2 <= y1) {
    throw std::invalid_argument("crop (" + std::to_string(r.x1) + ", " + std::to_string(r.y1) + ", " +
                                std::to_string(r.x2) + ", " + std::to_string(r.y2) + ") is empty on a " +
                                std::to_string(size.width) + "x" + std::to_string(size.height) + " frame");
  }
  return {x1, y1, x2 - x1, y2 - y1};
}

cv::Mat resize_to_height(const cv::Mat& image, int height) {
  if (height <= 0) throw std::invalid_argument("resize_dim height must be positive, got " + std::to_string(height));
  const double wide = std::ceil(height * (static_cast<double>(image.cols) / image.rows));
  // OpenCV keeps image sides below 2^31 and their product within memory;
  // a width this large is a mistaken setting, refused before conversion.
  if (!(wide <= (1 << 20))) {
    throw std::invalid_argument("resize_dim height " + std::to_string(height) + " gives a width of " +
                                format_number(wide) + " pixels for a " + std::to_string(image.cols) + "x" +
                                std::to_string(image.rows) + " crop; at most 1048576 is accepted");
  }
  const int width = static_cast<int>(wide);
  cv::Mat out;
  cv::resize(image, out, cv::Size(width, height), 0, 0, cv::INTER_AREA);
  return out;
}

std::string four_digits(int n) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%04d", n);
  return buf;
}

// Python's `a % b == 0` for a counter that may be fractional.
bool is_multiple(const Number& counter, int divisor) {
  if (counter.is_integer()) {
    const std::int64_t r = counter.as_integer() % divisor;
    return r == 0;
  }
  return std::fmod(counter.as_double(), static_cast<double>(divisor)) == 0.0;
}

// Frames past 2^53 are no longer exact in a double; no recording is that long.
constexpr double kMaxFrame = 9007199254740992.0;

// Returns fps * 60 * minutes as a whole frame number (a fractional product is
// rounded to the nearest frame, keeping its floating-point kind so that its
// text stays as before). Throws std::invalid_argument naming `setting` and
// the video when the value is not finite or out of range.
Number frame_bound(std::int64_t fps, const Number& minutes, const char* setting, const std::string& video) {
  const auto refuse = [&] {
    return std::invalid_argument(std::string(setting) + " " + minutes.text() + " gives no usable frame number for video '" +
                                 video + "' at " + std::to_string(fps) + " frames per second");
  };
  Number frame;
  try {
    frame = Number(fps) * Number(60) * minutes;
  } catch (const std::overflow_error&) {
    throw refuse();
  }
  if (!(std::abs(frame.as_double()) <= kMaxFrame)) throw refuse();
  if (frame.is_integer()) return frame;
  return Number(std::nearbyint(frame.as_double()));
}

void create_folder(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw std::runtime_error("cannot create folder '" + dir + "': " + ec.message());
}

}  // namespace

CropRect adjust_crop(const CropRect& detected, const std::optional<bool>& left_crop) {
  if (!left_crop) return detected;
  if (*left_crop) return {detected.x2 >= 2300 ? 380 : 120, 0, detected.x1 - 45, 1440};
  return {detected.x1 - 50, 0, detected.x2 >= 2300 ? 2560 : 2300, 1440};
}

double VideoProcessor::get_video_duration(const std::string& video_path) {
  const internal::VideoReader video(video_path);
  return duration_of(video, video_path);
}

double VideoProcessor::duration_of(const internal::VideoReader& video, const std::string& video_path) {
  if (!video.is_open()) {
    output() << "Error: Could not open video " << video_path << "\n";
    return 0;
  }
  const double fps = video.fps();
  output() << "Video FPS: " << format_number(fps) << "\n";
  const double frames = video.frame_count();
  output() << "Total frames: " << format_number(frames) << "\n";
  if (!(fps > 0)) throw std::runtime_error("video '" + video_path + "' reports a frame rate of " + format_number(fps));
  const double seconds = frames / fps;
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.2f", seconds);
  output() << "Video duration: " << buf << " seconds\n";
  return seconds / 60;
}

std::optional<CropRect> VideoProcessor::find_orange_region(const cv::Mat& frame) {
  cv::Mat hsv, mask;
  cv::cvtColor(frame, hsv, cv::COLOR_BGR2HSV);
  cv::inRange(hsv, cv::Scalar(10, 150, 150), cv::Scalar(25, 255, 255), mask);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return std::nullopt;
  std::vector<std::size_t> order(contours.size());
  std::iota(order.begin(), order.end(), 0);
  std::vector<double> areas;
  for (const auto& c : contours) areas.push_back(cv::contourArea(c));
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return areas[a] > areas[b]; });
  order.resize(std::min<std::size_t>(2, order.size()));
  std::size_t best = order[0];
  double best_x = -std::numeric_limits<double>::infinity();
  for (std::size_t i : order) {
    const cv::Moments m = cv::moments(contours[i]);
    const double cx = m.m10 / (m.m00 + 0.00001);
    if (cx > best_x) {
      best_x = cx;
      best = i;
    }
  }
  const cv::Rect r = cv::boundingRect(contours[best]);
  return CropRect{r.x, r.y, r.x + r.width, r.y + r.height};
}

std::optional<CropRect> VideoProcessor::crop_for(const cv::Mat& first_frame,
                                                 const std::optional<std::string>& camera_number) {
  const std::lock_guard lock(*crop_cache_lock);
  CropRect rect;
  if (const auto it = camera_crop_coords.find(camera_number); it != camera_crop_coords.end()) {
    rect = it->second;
  } else {
    const std::optional<CropRect> detected = find_orange_region(first_frame);
    if (!detected) {
      output() << "No orange region detected. Exiting.\n";
      return std::nullopt;
    }
    print_rect("cv2 crop region for Camera ", camera_number, *detected);
    rect = adjust_crop(*detected, left_crop);
    camera_crop_coords[camera_number] = rect;
  }
  print_rect("Detected crop region for Camera ", camera_number, rect);
  return rect;
}

void VideoProcessor::crop_video_to_frames(const std::string& video_path, const std::string& output_dir,
                                          Number start_min, Number end_min,
                                          const std::optional<std::string>& camera_number, bool crop) {
  if (frame_skip == 0) throw std::invalid_argument("frame_skip must not be 0");
  internal::VideoReader video(video_path);
  crop_range(video, video_path, output_dir, output_dir, start_min, end_min, camera_number, crop);
}

void VideoProcessor::decide_camera_crops(const CatalogueTable& catalogue) {
  for (const CatalogueRow& row : catalogue) {
    throw_if_stop_requested();
    if (has_crop(row.camera_number)) continue;
    internal::VideoReader video(row.file_path);
    if (!video.is_open()) continue;
    // The frame the recording's first range reads first (and does not save).
    video.seek(0);
    if (!video.read()) continue;
    const cv::Mat first = video.bgr(cv::Rect({0, 0}, video.frame_size()));
    if (find_orange_region(first)) crop_for(first, row.camera_number);
  }
}

namespace {

// The start and end minutes of a range folder name "<start>min_to_<end>min",
// as written; std::nullopt for any other name.
std::optional<std::pair<std::string, std::string>> range_bounds(const std::string& name) {
  const std::size_t to = name.find("min_to_");
  if (to == std::string::npos || name.size() < to + 8 || name.compare(name.size() - 3, 3, "min") != 0) return std::nullopt;
  return std::pair{name.substr(0, to), name.substr(to + 7, name.size() - to - 10)};
}

}  // namespace

void VideoProcessor::remove_ranges_of_a_shorter_recording(const CatalogueRow& row, double total_min,
                                                          const char* leaf) const {
  const fs::path video_dir = fs::path(output_dir_base) / row.date / row.video_name;
  std::error_code ec;
  if (!fs::is_directory(video_dir, ec)) return;
  // The ranges this run plans: start text -> end text.
  std::map<std::string, std::string> planned;
  for (Number start = 0; start < Number(total_min); start += time_step) {
    Number end = start + time_step;
    if (Number(total_min) < end) end = Number(total_min);
    planned[start.text()] = end.text();
  }
  std::set<std::string> starts_on_disk;
  std::vector<std::pair<fs::path, std::pair<std::string, std::string>>> ranges;
  for (const fs::directory_entry& entry : fs::directory_iterator(video_dir, ec)) {
    const auto bounds = range_bounds(entry.path().filename().string());
    if (!bounds || !entry.is_directory(ec)) continue;
    starts_on_disk.insert(bounds->first);
    ranges.emplace_back(entry.path(), *bounds);
  }
  for (const auto& [dir, bounds] : ranges) {
    const auto& [start, end] = bounds;
    const auto plan = planned.find(start);
    if (plan == planned.end() || plan->second == end) continue;
    // A range that was a recording's last one ends where the recording did
    // then, and no range starts there; one that ends before the recording
    // does now was cut from a shorter copy of it.
    const double end_min = std::strtod(end.c_str(), nullptr);
    const bool was_last = !starts_on_disk.contains(end);
    const bool finished = fs::exists(dir / leaf, ec);
    const bool unfinished_only = !finished && fs::exists(dir / (std::string(leaf) + ".partial"), ec);
    if (!((finished && was_last && end_min < total_min) || unfinished_only)) continue;
    output() << "Removing " << (dir / leaf).string() << ": it was cut when " << row.video_name << " was " << end
             << " minutes long (it is " << Number(total_min).text() << " now); the range is cut again.\n";
    fs::remove_all(dir, ec);
    if (ec) throw std::runtime_error("cannot remove the outdated range '" + dir.string() + "': " + ec.message());
  }
}

bool VideoProcessor::has_crop(const std::optional<std::string>& camera_number) const {
  const std::lock_guard lock(*crop_cache_lock);
  return camera_crop_coords.contains(camera_number);
}

RangeOutcome VideoProcessor::crop_range(internal::VideoReader& video, const std::string& video_path,
                                        const std::string& write_dir, const std::string& shown_dir, Number start_min,
                                        Number end_min, const std::optional<std::string>& camera_number, bool crop,
                                        bool to_end) {
  if (frame_skip == 0) throw std::invalid_argument("frame_skip must not be 0");
  create_folder(write_dir);
  if (!video.is_open()) {
    output() << "Error: Could not open video.\n";
    return {false, "the video could not be opened"};
  }
  const auto fps = static_cast<std::int64_t>(video.fps());
  if (fps <= 0) throw std::runtime_error("video '" + video_path + "' reports a frame rate below 1");
  const double frame_count = video.frame_count();
  const Number start_frame = frame_bound(fps, start_min, "start_min", video_path);
  Number end_frame = frame_bound(fps, end_min, "end_min", video_path);
  // Whole-rate bounds end before a recording whose rate is not a whole
  // number does; the last range reads on to the decoder's real end.
  const Number last_counter = to_end ? Number(std::max(end_frame.as_double(), frame_count) - 1) : end_frame - Number(1);
  if (to_end) end_frame = Number(kMaxFrame);
  // The range's first frame (read, not saved) is where the last range of a
  // batch stopped: go on from it; seek only for a range that starts elsewhere.
  const auto first = static_cast<std::int64_t>(start_frame.as_double());
  if (video.position() != first) {
    // A seek clamps to the reported frame count; when the stream already
    // ended there, the first frame cannot be read and no seek is needed.
    const std::optional<std::int64_t> end = video.ended_at();
    const bool past_end = end && first >= *end && static_cast<double>(*end) >= frame_count;
    bool have_first = false;
    if (!past_end) {
      video.seek(first);
      have_first = video.read();
    }
    if (!have_first) {
      output() << "Error: Could not read the first frame.\n";
      // A range that starts at or past the video's end asks for no frame.
      if (start_frame.as_double() >= frame_count) return {true, ""};
      return {false, "its first frame could not be read"};
    }
  }
  std::optional<CropRect> rect;
  if (crop) {
    // Only a camera without a crop yet needs the whole frame in BGR.
    const bool known = has_crop(camera_number);
    rect = crop_for(known ? cv::Mat() : video.bgr(cv::Rect({0, 0}, video.frame_size())), camera_number);
    if (!rect) return {false, "no orange region was found on its first frame"};
  }
  int saved = 0;
  cv::Size last_size;
  RangeOutcome outcome{true, ""};
  // Encoding and writing run beside the decoding; lines print in order here.
  internal::FrameWriter writer;
  for (Number counter = start_frame; counter < end_frame; counter += Number(1)) {
    throw_if_stop_requested();
    if (!video.read()) {
      // The frame read at counter c is frame c + 1; past the reported frame
      // count that is the video's real end, before it a truncated file.
      if (!(counter.as_double() + 1 >= frame_count)) {
        outcome = {false, "the video ended at frame " + format_number(counter.as_double() + 1) + " of " +
                              format_number(frame_count) + " (truncated or still being copied?)"};
      }
      break;
    }
    if (!is_multiple(counter, frame_skip) && !(counter == last_counter)) continue;
    const std::string name = four_digits(saved) + ".jpg";
    output() << "Processing frame " << counter.text() << " (saved as " << name << ")\n";
    const cv::Rect region = rect ? crop_region(*rect, video.frame_size()) : cv::Rect({0, 0}, video.frame_size());
    // Unresized frames go to the JPEG encoder in the decoder's own YCbCr;
    // only resizing needs BGR. Either way the writer owns its buffers, and
    // each image gets its final name only once it is whole.
    std::optional<internal::FrameRegion> planes = resize_dim ? std::nullopt : video.yuv420(region);
    if (planes) {
      last_size = region.size();
      writer.submit(join_path(write_dir, name), std::move(*planes));
    } else {
      cv::Mat image = video.bgr(region);
      if (resize_dim) image = resize_to_height(image, resize_dim->second);
      last_size = image.size();
      writer.submit(join_path(write_dir, name), image);
    }
    ++saved;
  }
  writer.finish();
  output() << "Cropped frames from " << start_min.text() << " to " << end_min.text() << " minutes saved to "
            << shown_dir << ".\n";
  if (saved > 0) output() << "Dim: (" << last_size.height << ", " << last_size.width << ", 3)\n";
  return outcome;
}

void VideoProcessor::check_time_step(const internal::VideoReader& video, const std::string& video_path) const {
  const double fps = video.is_open() ? video.fps() : 0;
  if (fps > 0 && time_step.as_double() * 60 * fps < 1) {
    throw std::invalid_argument("time_step " + time_step.text() + " minutes is shorter than one frame interval of '" +
                                video_path + "' (" + format_number(fps) + " frames per second)");
  }
}

ExtractionSummary VideoProcessor::process_videos_to_frames(const CatalogueTable& df) {
  if (!(time_step > Number(0))) {
    throw std::invalid_argument("time_step must be greater than 0, got " + time_step.text());
  }
  std::error_code base_ec;
  if (fs::exists(output_dir_base, base_ec) && !fs::is_directory(output_dir_base, base_ec)) {
    throw std::invalid_argument("base '" + output_dir_base + "' is not a folder");
  }
  const char* leaf = left_crop.value_or(false) ? "left_cropped_frames" : "right_cropped_frames";
  ExtractionSummary summary;
  for (const CatalogueRow& row : df) {
    // One reader per recording, kept open from range to range.
    internal::VideoReader video(row.file_path);
    const double total = duration_of(video, row.file_path);
    if (!video.is_open()) ++summary.recordings_unopened;
    if (total > 0) check_time_step(video, row.file_path);
    if (total > 0) remove_ranges_of_a_shorter_recording(row, total, leaf);
    for (Number start = 0; start < Number(total); start += time_step) {
      Number end = start + time_step;
      if (Number(total) < end) end = Number(total);
      const std::string dir = output_dir_base + "/" + row.date + "/" + row.video_name + "/" + start.text() +
                              "min_to_" + end.text() + "min/" + leaf;
      throw_if_stop_requested();
      std::error_code ec;
      if (fs::exists(dir, ec)) {
        output() << "Skipping " << dir << ", already exists.\n";
        continue;
      }
      // Frames go to a sibling folder first; only a finished range gets its
      // final name, so a crash or an error never leaves a folder that a
      // rerun would skip.
      const std::string partial = dir + ".partial";
      fs::remove_all(partial, ec);
      if (ec) throw std::runtime_error("cannot remove the unfinished folder '" + partial + "': " + ec.message());
      const bool last = !(start + time_step < Number(total));
      const RangeOutcome outcome =
          crop_range(video, row.file_path, partial, dir, start, end, row.camera_number, crop, last);
      if (!outcome.complete) {
        output() << "Leaving " << dir << " unfinished: " << outcome.reason << "; a rerun will try it again.\n";
        ++summary.ranges_unfinished;
        continue;
      }
      fs::rename(partial, dir, ec);
      if (ec) throw std::runtime_error("cannot rename '" + partial + "' to '" + dir + "': " + ec.message());
      ++summary.ranges_written;
    }
  }
  return summary;
}

}  // namespace pelk
