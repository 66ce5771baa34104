#include "pelk_utils/tracks/tracks_table.hpp"

#include <cmath>
#include <map>
#include <numbers>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/csv.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/streamed_file.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "pelk_utils/tracks/frame_time.hpp"

namespace pelk {
namespace {

// The pen as a full-frame mask of `size`: vertices truncated toward zero and
// filled as the in-pen mask of the cleaning pass is.
Mask pen_mask(const PenPolygon& pen, cv::Size size) {
  std::vector<cv::Point> points;
  for (const PenPoint& p : pen) {
    points.emplace_back(static_cast<int>(p.x.as_double()), static_cast<int>(p.y.as_double()));
  }
  cv::Mat1b full = cv::Mat1b::zeros(size);
  cv::fillPoly(full, std::vector<std::vector<cv::Point>>{points}, cv::Scalar(1));
  return Mask(full);
}

std::string number_text(double v) { return format_number(v); }

}  // namespace

std::optional<MaskShape> shape_of(const Mask& mask) {
  if (mask.empty()) return std::nullopt;
  const MaskMoments m = mask_moments(mask);
  if (m.m00 <= 0) return std::nullopt;
  MaskShape s;
  s.box = mask.box();
  s.area = mask.area();
  // Exact integer sums over the count: the correctly rounded mean.
  const double n = static_cast<double>(m.m00);
  s.centroid_x = static_cast<double>(m.m10) / n;
  s.centroid_y = static_cast<double>(m.m01) / n;
  // Central moments from the exact sums (the sums stay below 2^53, so only
  // the subtraction rounds: a relative error near 1e-13 for animal masks).
  const auto central = [&](std::int64_t second, std::int64_t p, std::int64_t q) {
    return (static_cast<double>(second) - static_cast<double>(p) * static_cast<double>(q) / n) / n;
  };
  const double a = central(m.m20, m.m10, m.m10), b = central(m.m11, m.m10, m.m01), c = central(m.m02, m.m01, m.m01);
  const double half_gap = std::sqrt(((a - c) / 2) * ((a - c) / 2) + b * b);
  const double large = (a + c) / 2 + half_gap, small = std::max(0.0, (a + c) / 2 - half_gap);
  s.long_axis = 4 * std::sqrt(large);
  s.short_axis = 4 * std::sqrt(small);
  double degrees = 0.5 * std::atan2(2 * b, a - c) * 180 / std::numbers::pi;
  if (degrees < 0) degrees += 180;
  if (degrees >= 180) degrees -= 180;
  s.orientation = degrees;
  return s;
}

std::vector<std::string> tracks_columns(bool with_pen) {
  std::vector<std::string> columns = {"clip",  "frame_key", "frame_image", "time",   "identity",   "present",
                                      "x_min", "y_min",     "x_max",       "y_max",  "centroid_x", "centroid_y",
                                      "area",  "orientation", "long_axis", "short_axis"};
  if (with_pen) columns.push_back("in_pen");
  return columns;
}

std::vector<std::string> for_each_track_row(const std::vector<std::string>& clips, const TracksOptions& options,
                                            const std::function<void(const TrackRow&)>& row) {
  std::optional<PenPolygon> pen;
  if (options.pen_json_path) {
    pen = draw_pen("", *options.pen_json_path).polygon_points;
    check_pen_area(*pen, *options.pen_json_path);
  }
  std::map<std::pair<int, int>, Mask> pens;  // per frame size
  return stream_clips(clips, options.times, [&](const StreamFrame& f) {
    const Mask* in_pen = nullptr;
    if (pen) {
      auto it = pens.find({f.size.width, f.size.height});
      if (it == pens.end()) it = pens.emplace(std::pair{f.size.width, f.size.height}, pen_mask(*pen, f.size)).first;
      in_pen = &it->second;
    }
    for (const std::string& key : *f.identities) {
      TrackRow r;
      r.clip = f.clip;
      r.frame_key = f.frame_number;
      r.frame_image = &f.record->image_path;
      r.time = f.time;
      r.identity = key;
      const Mask* mask = f.record->masks_dict.contains(key) ? &f.record->masks_dict.at(key) : nullptr;
      if (mask != nullptr) r.shape = shape_of(*mask);
      if (r.shape && in_pen != nullptr) {
        r.in_pen = static_cast<double>(intersection_area(*mask, *in_pen)) / static_cast<double>(r.shape->area);
      }
      row(r);
    }
  });
}

std::vector<std::string> write_tracks_csv(const std::vector<std::string>& clips, const TracksOptions& options,
                                          const std::string& path, bool header) {
  refuse_output_inside_clips(path, clips);
  StreamedFile out(path);
  const bool with_pen = options.pen_json_path.has_value();
  if (header) {
    std::string line;
    for (const std::string& c : tracks_columns(with_pen)) line += (line.empty() ? "" : ",") + c;
    out.write(line + "\n");
  }
  std::string buffer;
  const std::string* last_clip = nullptr;
  std::string clip_field;
  const auto notes = for_each_track_row(clips, options, [&](const TrackRow& r) {
    if (r.clip != last_clip) last_clip = r.clip, clip_field = csv_field(*r.clip);
    buffer += clip_field;
    buffer += ',' + std::to_string(r.frame_key) + ',' + csv_field(*r.frame_image) + ',';
    if (r.time) buffer += iso_time(*r.time);
    buffer += ',' + csv_field(r.identity) + (r.shape ? ",True" : ",False");
    if (r.shape) {
      const MaskShape& s = *r.shape;
      for (double v : {s.box[0], s.box[1], s.box[2], s.box[3]}) buffer += ',' + std::to_string(static_cast<std::int64_t>(v));
      for (double v : {s.centroid_x, s.centroid_y}) buffer += ',' + number_text(v);
      buffer += ',' + std::to_string(s.area);
      for (double v : {s.orientation, s.long_axis, s.short_axis}) buffer += ',' + number_text(v);
    } else {
      buffer += ",,,,,,,,,,";
    }
    if (with_pen) buffer += r.in_pen ? ',' + number_text(*r.in_pen) : std::string(",");
    buffer += '\n';
    if (buffer.size() > (1 << 20)) out.write(buffer), buffer.clear();
  });
  out.write(buffer);
  out.commit();
  return notes;
}

}  // namespace pelk
