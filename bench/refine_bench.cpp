// The segment cleaning pass over a tracked clip of 100 frames x 10 animals
// at 1180 x 1440 (some animals split into two pieces), against the same pass
// computed on full-frame rasters (pen fill, labelling and contours over the
// whole frame), measured in the same run.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "animal_masks.hpp"
#include "bench_report.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "pelk_utils/refine/mask_refinement.hpp"

namespace {
namespace fs = std::filesystem;
using pelk::bench::kFrame;

constexpr int kFrames = 100;

const std::string& pen_file() {
  static const std::string path = [] {
    const fs::path p = fs::temp_directory_path() / "pelk_bench_pen.json";
    std::ofstream(p) << R"({"shapes": [{"points": [[20, 20], [1160, 30], [1150, 1420], [30, 1410]]}]})";
    return p.string();
  }();
  return path;
}

// Full-frame masks of frame f; every third animal is split by a 6-px bar
// and carries a small stray fragment.
std::vector<cv::Mat1b> frame_masks(int f) {
  std::vector<cv::Mat1b> masks = pelk::bench::animal_masks(f % 30);
  for (std::size_t i = 0; i < masks.size(); i += 3) {
    const cv::Rect box = cv::boundingRect(masks[i]);
    masks[i](cv::Rect(box.x, box.y + box.height / 2, box.width, 6)).setTo(0);
    cv::circle(masks[i], cv::Point(std::min(box.br().x + 40, kFrame.width - 5), box.y + 10), 6, 1, cv::FILLED);
  }
  return masks;
}

pelk::TrackedClip compact_clip() {
  pelk::TrackedClip clip;
  for (int f = 0; f < kFrames; ++f) {
    pelk::OrderedMap<int, pelk::Mask> objects;
    const auto masks = frame_masks(f);
    for (std::size_t i = 0; i < masks.size(); ++i) objects.insert_or_assign(static_cast<int>(i) + 1, pelk::Mask(masks[i]));
    clip.insert_or_assign(f, std::move(objects));
  }
  return clip;
}

const std::vector<std::string>& frame_names() {
  static const std::vector<std::string> names(kFrames, "frame.jpg");
  return names;
}

void BM_CleaningPassCompact(benchmark::State& state) {
  const pelk::TrackedClip original = compact_clip();
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  for (auto _ : state) {
    state.PauseTiming();
    pelk::TrackedClip clip = original;
    pelk::Mask_Refinement refine(0.3, {0.5, 1.5}, 200, pen_file());
    state.ResumeTiming();
    refine.process_video_segments(clip, "clip", frame_names());
    benchmark::DoNotOptimize(clip);
  }
  std::cout.rdbuf(old);
}
BENCHMARK(BM_CleaningPassCompact)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same pass on full-frame rasters.
double vertex_distance(const cv::Mat& a, const cv::Mat& b) {
  std::vector<std::vector<cv::Point>> ca, cb;
  cv::findContours(a, ca, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  cv::findContours(b, cb, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  double best = INFINITY;
  for (const auto& x : ca) for (const auto& p : x) for (const auto& y : cb) for (const auto& q : y)
    best = std::min(best, std::hypot(p.x - q.x, p.y - q.y));
  return best;
}

void full_frame_pass(std::vector<std::vector<cv::Mat1b>>& clip, std::map<int, cv::Point2d>& history) {
  for (auto& masks : clip) {
    for (std::size_t id = 0; id < masks.size(); ++id) {
      cv::Mat1b& mask = masks[id];
      if (cv::countNonZero(mask) == 0) continue;
      const pelk::PenPolygon pen = pelk::draw_pen("frame.jpg", pen_file()).polygon_points;
      std::vector<cv::Point> points;
      for (const auto& p : pen) points.emplace_back(static_cast<int>(p.x.as_double()), static_cast<int>(p.y.as_double()));
      cv::Mat1b pen_mask = cv::Mat1b::zeros(kFrame);
      cv::fillPoly(pen_mask, std::vector<std::vector<cv::Point>>{points}, 1);
      const cv::Mat1b in_pen = mask & pen_mask;
      cv::Mat labels, stats, centroids;
      const int n = cv::connectedComponentsWithStats(in_pen * 255, labels, stats, centroids, 8, CV_32S);
      int best = 1;
      for (int k = 2; k < n; ++k) if (stats.at<int>(k, cv::CC_STAT_AREA) > stats.at<int>(best, cv::CC_STAT_AREA)) best = k;
      const auto prev = history.find(static_cast<int>(id));
      if (prev != history.end()) {
        double d = INFINITY;
        for (int k = 1; k < n; ++k) {
          const double e = std::hypot(centroids.at<double>(k, 0) - prev->second.x, centroids.at<double>(k, 1) - prev->second.y);
          if (e < d) d = e, best = k;
        }
      }
      const double area = stats.at<int>(best, cv::CC_STAT_AREA);
      const double limit = std::sqrt(area / M_PI) * (area >= 1000 ? 0.5 : 1.5);
      cv::Mat1b kept = cv::Mat1b::zeros(kFrame);
      for (int k = 1; k < n; ++k) {
        const double to_main = vertex_distance(labels == best, labels == k);
        if (k == best || (stats.at<int>(k, cv::CC_STAT_AREA) >= area * 0.3 && to_main <= limit)) kept.setTo(1, labels == k);
      }
      mask = kept;
      const cv::Moments m = cv::moments(kept, true);
      if (m.m00 > 0) history[static_cast<int>(id)] = cv::Point2d(m.m10 / m.m00, m.m01 / m.m00);
    }
  }
}

void BM_CleaningPassFullFrame(benchmark::State& state) {
  std::vector<std::vector<cv::Mat1b>> original;
  for (int f = 0; f < kFrames; ++f) original.push_back(frame_masks(f));
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::vector<cv::Mat1b>> clip;
    for (const auto& frame : original) {
      clip.emplace_back();
      for (const auto& m : frame) clip.back().push_back(m.clone());
    }
    std::map<int, cv::Point2d> history;
    state.ResumeTiming();
    full_frame_pass(clip, history);
    benchmark::DoNotOptimize(clip);
  }
}
BENCHMARK(BM_CleaningPassFullFrame)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  pelk::bench::RecordingReporter reporter;
  pelk::bench::run_all(argc, argv, reporter);
  pelk::bench::print_ratio("process_video_segments, 100 x 10 (s)", reporter.seconds("BM_CleaningPassCompact"),
                           reporter.seconds("BM_CleaningPassFullFrame"), 10);
  return 0;
}
