#include "pelk_utils/tracks/frame_time.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <vector>

namespace pelk {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_of(int year, unsigned month, unsigned day) {
  using namespace std::chrono;
  return sys_days(year_month_day(std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)))
      .time_since_epoch()
      .count();
}

}  // namespace

std::optional<ExtractedFrame> extracted_frame_of(const std::string& image_path) {
  static const std::regex kVideo(R"(Camera(\d+)_(\d+)_(\d{4})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2}))");
  static const std::regex kRange(R"(([0-9.eE+-]+)min_to_([0-9.eE+-]+)min)");
  const std::filesystem::path path(image_path);
  const std::string stem = path.stem().string();
  if (stem.empty() || stem.find_first_not_of("0123456789") != std::string::npos || stem.size() > 12) return std::nullopt;
  std::vector<std::string> parts;
  for (const auto& part : path.parent_path()) parts.push_back(part.string());
  for (std::size_t i = parts.size(); i-- > 1;) {
    std::smatch range, video;
    if (!std::regex_match(parts[i], range, kRange) || !std::regex_match(parts[i - 1], video, kVideo)) continue;
    const int month = std::stoi(video[4]), day = std::stoi(video[5]);
    const int hour = std::stoi(video[6]), minute = std::stoi(video[7]), second = std::stoi(video[8]);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    ExtractedFrame f;
    f.video_name = parts[i - 1];
    f.camera_number = video[1];
    f.start_seconds = days_of(std::stoi(video[3]), static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                      hour * 3600 + minute * 60 + second;
    try {
      f.range_start_min = std::stod(range[1]);
    } catch (const std::exception&) {
      return std::nullopt;
    }
    if (!std::isfinite(f.range_start_min) || f.range_start_min < 0) return std::nullopt;
    f.index = std::stoll(stem);
    return f;
  }
  return std::nullopt;
}

std::int64_t recording_frame_of(const ExtractedFrame& frame, double rate) {
  const double whole_rate = std::floor(rate);
  return static_cast<std::int64_t>(std::nearbyint(frame.range_start_min * 60 * whole_rate)) + 1 + frame.index;
}

FrameTime frame_time(const ExtractedFrame& frame, double rate) {
  return {frame.start_seconds, static_cast<double>(recording_frame_of(frame, rate)) / rate};
}

double seconds_between(const FrameTime& from, const FrameTime& to) {
  return static_cast<double>(to.recording_start - from.recording_start) + (to.offset - from.offset);
}

std::string iso_time(const FrameTime& time) {
  const std::int64_t millis = time.recording_start * 1000 + std::llround(time.offset * 1000);
  const std::int64_t days = (millis >= 0 ? millis : millis - 86399999) / 86400000;
  const std::int64_t in_day = millis - days * 86400000;
  const std::chrono::year_month_day date{std::chrono::sys_days(std::chrono::days(days))};
  char text[96];
  std::snprintf(text, sizeof(text), "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lld", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long long>(in_day / 3600000), static_cast<long long>(in_day / 60000 % 60),
                static_cast<long long>(in_day / 1000 % 60), static_cast<long long>(in_day % 1000));
  return text;
}

}  // namespace pelk
