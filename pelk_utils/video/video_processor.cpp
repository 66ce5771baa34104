#include "pelk_utils/video/video_processor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <numeric>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "pelk_utils/core/path.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

std::string camera_text(const std::optional<std::string>& camera) { return camera.value_or("None"); }

void print_rect(const char* what, const std::optional<std::string>& camera, const CropRect& r) {
  std::cout << what << camera_text(camera) << ": x1=" << r.x1 << ", y1=" << r.y1 << ", x2=" << r.x2
            << ", y2=" << r.y2 << "\n";
}

// Normalises a slice bound as Python does: negative counts from the end,
// out-of-range values clamp to the edge.
int slice_bound(int v, int size) {
  if (v < 0) v += size;
  return std::clamp(v, 0, size);
}

cv::Mat cut(const cv::Mat& frame, const CropRect& r) {
  const int x1 = slice_bound(r.x1, frame.cols), x2 = slice_bound(r.x2, frame.cols);
  const int y1 = slice_bound(r.y1, frame.rows), y2 = slice_bound(r.y2, frame.rows);
  if (x2 <= x1 || y2 <= y1) {
    throw std::invalid_argument("crop (" + std::to_string(r.x1) + ", " + std::to_string(r.y1) + ", " +
                                std::to_string(r.x2) + ", " + std::to_string(r.y2) + ") is empty on a " +
                                std::to_string(frame.cols) + "x" + std::to_string(frame.rows) + " frame");
  }
  return frame(cv::Range(y1, y2), cv::Range(x1, x2));
}

cv::Mat resize_to_height(const cv::Mat& image, int height) {
  if (height <= 0) throw std::invalid_argument("resize_dim height must be positive, got " + std::to_string(height));
  const int width = static_cast<int>(std::ceil(height * (static_cast<double>(image.cols) / image.rows)));
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

}  // namespace

CropRect adjust_crop(const CropRect& detected, const std::optional<bool>& left_crop) {
  if (!left_crop) return detected;
  if (*left_crop) return {detected.x2 >= 2300 ? 380 : 120, 0, detected.x1 - 45, 1440};
  return {detected.x1 - 50, 0, detected.x2 >= 2300 ? 2560 : 2300, 1440};
}

double VideoProcessor::get_video_duration(const std::string& video_path) {
  cv::VideoCapture cap(video_path);
  if (!cap.isOpened()) {
    std::cout << "Error: Could not open video " << video_path << "\n";
    return 0;
  }
  const double fps = cap.get(cv::CAP_PROP_FPS);
  std::cout << "Video FPS: " << format_number(fps) << "\n";
  const double frames = cap.get(cv::CAP_PROP_FRAME_COUNT);
  std::cout << "Total frames: " << format_number(frames) << "\n";
  if (!(fps > 0)) throw std::runtime_error("video '" + video_path + "' reports a frame rate of " + format_number(fps));
  const double seconds = frames / fps;
  cap.release();
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.2f", seconds);
  std::cout << "Video duration: " << buf << " seconds\n";
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
  CropRect rect;
  if (const auto it = camera_crop_coords.find(camera_number); it != camera_crop_coords.end()) {
    rect = it->second;
  } else {
    const std::optional<CropRect> detected = find_orange_region(first_frame);
    if (!detected) {
      std::cout << "No orange region detected. Exiting.\n";
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
  crop_range(video_path, output_dir, output_dir, start_min, end_min, camera_number, crop);
}

void VideoProcessor::crop_range(const std::string& video_path, const std::string& write_dir,
                                const std::string& shown_dir, Number start_min, Number end_min,
                                const std::optional<std::string>& camera_number, bool crop) {
  if (frame_skip == 0) throw std::invalid_argument("frame_skip must not be 0");
  fs::create_directories(write_dir);
  cv::VideoCapture cap(video_path);
  if (!cap.isOpened()) {
    std::cout << "Error: Could not open video.\n";
    return;
  }
  const auto fps = static_cast<std::int64_t>(cap.get(cv::CAP_PROP_FPS));
  if (fps <= 0) throw std::runtime_error("video '" + video_path + "' reports a frame rate below 1");
  const Number start_frame = Number(fps) * Number(60) * start_min;
  const Number end_frame = Number(fps) * Number(60) * end_min;
  cap.set(cv::CAP_PROP_POS_FRAMES, start_frame.as_double());
  cv::Mat frame;
  if (!cap.read(frame)) {
    std::cout << "Error: Could not read the first frame.\n";
    return;
  }
  std::optional<CropRect> rect;
  if (crop) {
    rect = crop_for(frame, camera_number);
    if (!rect) return;
  }
  int saved = 0;
  cv::Mat last;
  const Number last_counter = end_frame - Number(1);
  for (Number counter = start_frame; counter < end_frame; counter += Number(1)) {
    if (!cap.read(frame)) break;
    if (!is_multiple(counter, frame_skip) && !(counter == last_counter)) continue;
    const std::string name = four_digits(saved) + ".jpg";
    std::cout << "Processing frame " << counter.text() << " (saved as " << name << ")\n";
    cv::Mat image = rect ? cut(frame, *rect) : frame;
    if (resize_dim) image = resize_to_height(image, resize_dim->second);
    const std::string path = join_path(write_dir, name);
    if (!cv::imwrite(path, image)) throw std::runtime_error("cannot write frame image '" + path + "'");
    last = image;
    ++saved;
  }
  cap.release();
  std::cout << "Cropped frames from " << start_min.text() << " to " << end_min.text() << " minutes saved to "
            << shown_dir << ".\n";
  if (saved > 0) std::cout << "Dim: (" << last.rows << ", " << last.cols << ", " << last.channels() << ")\n";
}

void VideoProcessor::process_videos_to_frames(const CatalogueTable& df) {
  if (!(time_step > Number(0))) {
    throw std::invalid_argument("time_step must be greater than 0, got " + time_step.text());
  }
  const char* leaf = left_crop.value_or(false) ? "left_cropped_frames" : "right_cropped_frames";
  for (const CatalogueRow& row : df) {
    const double total = get_video_duration(row.file_path);
    for (Number start = 0; start < Number(total); start += time_step) {
      Number end = start + time_step;
      if (Number(total) < end) end = Number(total);
      const std::string dir = output_dir_base + "/" + row.date + "/" + row.video_name + "/" + start.text() +
                              "min_to_" + end.text() + "min/" + leaf;
      std::error_code ec;
      if (fs::exists(dir, ec)) {
        std::cout << "Skipping " << dir << ", already exists.\n";
        continue;
      }
      // Frames go to a sibling folder first; only a finished range gets its
      // final name, so a crash or an error never leaves a folder that a
      // rerun would skip.
      const std::string partial = dir + ".partial";
      fs::remove_all(partial);
      crop_range(row.file_path, partial, dir, start, end, row.camera_number, crop);
      fs::rename(partial, dir);
    }
  }
}

}  // namespace pelk
