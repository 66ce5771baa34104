#include "pelk_utils/refine/mask_refinement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/analytics/figure.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk {
namespace {

using Points = std::vector<cv::Point>;

// Returns the vertices of the external contours of a 0/1 or 0/255 image,
// pooled, shifted by `offset`.
Points contour_vertices(const cv::Mat& image, cv::Point offset = {}) {
  std::vector<Points> contours;
  cv::findContours(image, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, offset);
  Points all;
  for (const Points& c : contours) all.insert(all.end(), c.begin(), c.end());
  return all;
}

// Squared distance from `p` to the rectangle `r` (inclusive corners).
double squared_distance_to(const cv::Point& p, const cv::Rect& r) {
  const double dx = std::max({0, r.x - p.x, p.x - (r.x + r.width - 1)});
  const double dy = std::max({0, r.y - p.y, p.y - (r.y + r.height - 1)});
  return dx * dx + dy * dy;
}

// Returns the smallest vertex-to-vertex distance; points of `a` whose
// distance to `b`'s bounding rectangle cannot beat the best so far are
// skipped, which leaves the minimum unchanged.
double shortest_distance(const Points& a, const Points& b) {
  if (a.empty() || b.empty()) return std::numeric_limits<double>::infinity();
  const cv::Rect box_b = cv::boundingRect(b);
  double best = std::numeric_limits<double>::infinity();
  for (const cv::Point& p : a) {
    if (squared_distance_to(p, box_b) >= best) continue;
    for (const cv::Point& q : b) {
      const double dx = p.x - q.x, dy = p.y - q.y;
      best = std::min(best, dx * dx + dy * dy);
    }
  }
  return std::sqrt(best);
}

// The mask's rectangle padded by one pixel (contour tracing treats the image
// edge as background) and clipped to the frame.
cv::Rect padded_window(const Mask& mask) {
  cv::Rect r = mask.bounds();
  r.x -= 1;
  r.y -= 1;
  r.width += 2;
  r.height += 2;
  return r & cv::Rect(cv::Point(0, 0), mask.size());
}

cv::Mat1b window_bits(const Mask& mask, const cv::Rect& window) {
  cv::Mat1b bits = cv::Mat1b::zeros(window.size());
  if (!mask.empty()) mask.roi().copyTo(bits(mask.bounds() - window.tl()));
  return bits;
}

std::optional<cv::Point2d> history_of(const CentroidHistory& history, int object_id) {
  const auto it = history.find(object_id);
  if (it == history.end()) return std::nullopt;
  return it->second;
}

std::optional<cv::Point2d> centroid_of(const Mask& mask) {
  if (mask.empty()) return std::nullopt;
  const cv::Moments m = cv::moments(mask.roi(), false);
  if (m.m00 == 0) return std::nullopt;
  const cv::Rect r = mask.bounds();
  return cv::Point2d((m.m10 + r.x * m.m00) / m.m00, (m.m01 + r.y * m.m00) / m.m00);
}

}  // namespace

Mask_Refinement::Mask_Refinement(double min_area_ratio, std::vector<double> max_distance_ratios, double max_prev_dist,
                                 std::string custom_pen_json_path)
    : MIN_AREA_RATIO(min_area_ratio),
      MAX_DISTANCE_RATIOS(std::move(max_distance_ratios)),
      MAX_PREV_DIST(max_prev_dist),
      custom_pen_json_path(std::move(custom_pen_json_path)) {
  if (MAX_DISTANCE_RATIOS.size() < 2) {
    throw std::invalid_argument("max_distance_ratios needs two factors, got " +
                                std::to_string(MAX_DISTANCE_RATIOS.size()));
  }
}

double Mask_Refinement::blob_shortest_distance(const cv::Mat& blob_mask1, const cv::Mat& blob_mask2) {
  return shortest_distance(contour_vertices(blob_mask1), contour_vertices(blob_mask2));
}

MainBlob Mask_Refinement::get_main_blob(const Mask& mask, const CentroidHistory& prev_centroids, int object_id) const {
  if (mask.empty()) throw std::invalid_argument("get_main_blob needs a mask with at least one pixel");
  MainBlob out;
  out.window = padded_window(mask);
  const cv::Mat1b bits = window_bits(mask, out.window);
  out.num_labels = cv::connectedComponentsWithStats(bits, out.labels, out.stats, out.centroids, 8, CV_32S);
  for (int k = 0; k < out.num_labels; ++k) {
    out.centroids.at<double>(k, 0) += out.window.x;
    out.centroids.at<double>(k, 1) += out.window.y;
  }
  std::vector<int> candidates(static_cast<std::size_t>(out.num_labels - 1));
  std::iota(candidates.begin(), candidates.end(), 1);
  const auto area = [&](int k) { return out.stats.at<int>(k, cv::CC_STAT_AREA); };
  std::stable_sort(candidates.begin(), candidates.end(), [&](int a, int b) { return area(a) > area(b); });
  candidates.resize(std::min<std::size_t>(5, candidates.size()));
  out.best_idx = candidates.front();
  if (const auto prev = history_of(prev_centroids, object_id)) {
    double best = std::numeric_limits<double>::infinity();
    for (int k : candidates) {
      const double d = std::hypot(out.centroids.at<double>(k, 0) - prev->x, out.centroids.at<double>(k, 1) - prev->y);
      if (d < best) {
        best = d;
        out.best_idx = k;
      }
    }
  }
  const double main_area = area(out.best_idx);
  const double radius = std::sqrt(main_area / M_PI);
  out.min_area_threshold = main_area * MIN_AREA_RATIO;
  out.max_distance_threshold = radius * (main_area >= 1000 ? MAX_DISTANCE_RATIOS[0] : MAX_DISTANCE_RATIOS[1]);
  return out;
}

Mask Mask_Refinement::get_dis_to_main_and_prev_blob(int num_labels, const cv::Mat& labels, const cv::Mat& stats,
                                                    const cv::Mat& centroids, double max_distance_threshold,
                                                    double min_area_threshold, int best_idx,
                                                    const CentroidHistory& prev_centroids, int object_id,
                                                    int frame_idx, const Mask& mask, const TrackedClip& video_segments,
                                                    const cv::Rect& labels_window) const {
  const cv::Rect window = labels_window.empty() ? cv::Rect(0, 0, labels.cols, labels.rows) : labels_window;
  const std::optional<cv::Point2d> prev = history_of(prev_centroids, object_id);
  std::optional<Points> main_vertices;
  cv::Mat1b kept = cv::Mat1b::zeros(labels.size());
  for (int k = 1; k < num_labels; ++k) {
    const double area = stats.at<int>(k, cv::CC_STAT_AREA);
    const cv::Point2d c(centroids.at<double>(k, 0), centroids.at<double>(k, 1));
    const double to_prev = prev ? std::hypot(c.x - prev->x, c.y - prev->y) : 0.0;
    if (!(to_prev <= MAX_PREV_DIST)) continue;
    bool keep = k == best_idx;
    // The blob distance is only needed, and only computed, when the other
    // tests pass; the kept set is the same.
    if (!keep && area >= min_area_threshold) {
      if (!main_vertices) main_vertices = contour_vertices(labels == best_idx);
      keep = shortest_distance(*main_vertices, contour_vertices(labels == k)) <= max_distance_threshold;
    }
    if (keep) kept.setTo(1, labels == k);
  }
  Mask cleaned(mask.size(), window, kept);
  if (!cleaned.empty()) return cleaned;
  if (!video_segments.empty() && frame_idx == video_segments.begin()->first) return mask;
  output() << "clean frame" << frame_idx << "--obj_id" << object_id << "\n";
  return Mask(mask.size(), cv::Rect(), cv::Mat1b());
}

TrackedClip& Mask_Refinement::process_video_segments(TrackedClip& video_segments, const std::string& video_dir,
                                                     const std::vector<std::string>& frame_names) {
  for (auto& [frame_idx, objects] : video_segments) {
    for (auto& [object_id, mask] : objects) {
      throw_if_stop_requested();
      if (mask.empty()) continue;
      const std::optional<std::string> pen_json_path = get_pen_json_path(video_dir, custom_pen_json_path);
      if (!pen_json_path) throw std::invalid_argument("no pen polygon file for '" + video_dir + "'");
      const Mask in_pen = get_in_pen_mask(frame_idx, mask, *pen_json_path, frame_names);
      if (in_pen.empty()) {
        mask = in_pen;
        continue;
      }
      const MainBlob blob = get_main_blob(in_pen, prev_centroids, object_id);
      mask = get_dis_to_main_and_prev_blob(blob.num_labels, blob.labels, blob.stats, blob.centroids,
                                           blob.max_distance_threshold, blob.min_area_threshold, blob.best_idx,
                                           prev_centroids, object_id, frame_idx, mask, video_segments, blob.window);
      if (const auto c = centroid_of(mask)) {
        prev_centroids[object_id] = *c;
      } else {
        output() << "frame " << frame_idx << "--obj_id" << object_id << "-- no mask\n";
      }
    }
  }
  return video_segments;
}

void video_segments_mask_visual(const TrackedClip& video_segments, int frame_idx, int object_id) {
  const Mask& mask = video_segments.at(frame_idx).at(object_id);
  cv::Mat scaled = mask.full() * 255;
  cv::Mat image;
  cv::applyColorMap(scaled, image, cv::COLORMAP_VIRIDIS);
  set_current_figure(Figure{image, "frame " + std::to_string(frame_idx) + " object " + std::to_string(object_id)});
}

}  // namespace pelk
