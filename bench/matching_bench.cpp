// Cross-clip matching figures, each beside a baseline measured in the same
// run: last-frame selection on a loaded 600-frame clip (compact masks against
// the same selection on full-frame rasters), the two mask similarity
// matrices for 10 x 10 masks, and one overlap resolution split into encoder
// time and the rest.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <cstdio>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "animal_masks.hpp"
#include "bench_report.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/matching/last_frame.hpp"
#include "pelk_utils/matching/overlap_resolution.hpp"
#include "pelk_utils/matching/similarity.hpp"
#include "pelk_utils/models/testing/fake_models.hpp"
#include "pelk_utils/models/testing/test_encoder.hpp"

namespace {
using pelk::bench::kFrame;

constexpr int kFrames = 600;
constexpr int kShifts = 40;  // distinct poses, reused along the clip

// The full-frame masks of frame `f`: the last 8 frames fail, four with a
// vanished Box3 and four with Box6 lying on Box5.
std::vector<cv::Mat1b> frame_masks(int f) {
  static std::vector<std::vector<cv::Mat1b>> poses;
  if (poses.empty()) {
    for (int s = 0; s < kShifts; ++s) poses.push_back(pelk::bench::animal_masks(s));
  }
  std::vector<cv::Mat1b> masks = poses[static_cast<std::size_t>(f % kShifts)];
  if (f >= kFrames - 8 && f < kFrames - 4) masks[3] = cv::Mat1b::zeros(kFrame);
  if (f >= kFrames - 4) masks[6] = masks[5].clone();
  return masks;
}

pelk::ClipAnnotationData& clip() {
  static pelk::ClipAnnotationData data = [] {
    pelk::ClipAnnotationData d;
    for (int f = 0; f < kFrames; ++f) {
      pelk::FrameRecord r;
      const auto masks = frame_masks(f);
      for (std::size_t i = 0; i < masks.size(); ++i) r.masks_dict.insert_or_assign("Box" + std::to_string(i), pelk::Mask(masks[i]));
      d.emplace(f, std::move(r));
    }
    return d;
  }();
  return data;
}

// The last frames as full-frame rasters, for the baseline.
const std::vector<std::vector<cv::Mat1b>>& last_full_frames() {
  static const std::vector<std::vector<cv::Mat1b>> frames = [] {
    std::vector<std::vector<cv::Mat1b>> out;
    for (int f = kFrames - 10; f < kFrames; ++f) out.push_back(frame_masks(f));
    return out;
  }();
  return frames;
}

void BM_LastFrameCompact(benchmark::State& state) {
  pelk::ClipAnnotationData& data = clip();
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  for (auto _ : state) benchmark::DoNotOptimize(pelk::find_best_laste_frame(data));
  std::cout.rdbuf(old);
}
BENCHMARK(BM_LastFrameCompact)->Unit(benchmark::kMillisecond);

// The same selection on full-frame rasters: areas and intersection
// percentages by pixel products over the whole frame.
int full_frame_selection(const std::vector<std::vector<cv::Mat1b>>& frames) {
  cv::Mat1b product;
  for (int k = static_cast<int>(frames.size()) - 1; k >= 0; --k) {
    const auto& masks = frames[static_cast<std::size_t>(k)];
    std::vector<int> areas;
    for (const auto& m : masks) areas.push_back(cv::countNonZero(m));
    bool ok = std::all_of(areas.begin(), areas.end(), [](int a) { return a > 10; });
    for (std::size_t i = 0; ok && i < masks.size(); ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        cv::multiply(masks[i], masks[j], product);
        const double inter = cv::countNonZero(product);
        if (inter / areas[i] * 100 >= 50 || inter / areas[j] * 100 >= 50) ok = false;
      }
    }
    if (ok) return k;
  }
  return -1;
}

void BM_LastFrameFullFrame(benchmark::State& state) {
  const auto& frames = last_full_frames();
  for (auto _ : state) benchmark::DoNotOptimize(full_frame_selection(frames));
}
BENCHMARK(BM_LastFrameFullFrame)->Unit(benchmark::kMillisecond);

std::vector<pelk::Mask> compact(const std::vector<cv::Mat1b>& full) {
  std::vector<pelk::Mask> out;
  for (const auto& m : full) out.emplace_back(m);
  return out;
}

void BM_SimilarityCompact(benchmark::State& state) {
  const auto a = compact(pelk::bench::animal_masks(0)), b = compact(pelk::bench::animal_masks(5));
  for (auto _ : state) {
    benchmark::DoNotOptimize(pelk::cal_masks_iou_scores(a, b));
    benchmark::DoNotOptimize(pelk::cal_centroid_distance(a, b));
  }
}
BENCHMARK(BM_SimilarityCompact)->Unit(benchmark::kMillisecond);

void BM_SimilarityFullFrame(benchmark::State& state) {
  const auto a = pelk::bench::animal_masks(0), b = pelk::bench::animal_masks(5);
  cv::Mat1b both, either;
  for (auto _ : state) {
    cv::Mat1d iou(10, 10), dist(10, 10);
    for (int i = 0; i < 10; ++i) {
      for (int j = 0; j < 10; ++j) {
        cv::bitwise_and(a[i], b[j], both);
        cv::bitwise_or(a[i], b[j], either);
        iou(i, j) = cv::countNonZero(both) / (cv::countNonZero(either) + 1e-6);
        const cv::Moments p = cv::moments(a[i]), q = cv::moments(b[j]);
        dist(i, j) = std::hypot(p.m01 / p.m00 - q.m01 / q.m00, p.m10 / p.m00 - q.m10 / q.m00);
      }
    }
    double mx = 0;
    cv::minMaxLoc(dist, nullptr, &mx);
    for (double& d : dist) d = 1 - d / (mx + 1e-6);
    benchmark::DoNotOptimize(iou.data);
    benchmark::DoNotOptimize(dist.data);
  }
}
BENCHMARK(BM_SimilarityFullFrame)->Unit(benchmark::kMillisecond);

// An encoder that times its calls.
class TimedEncoder : public pelk::ImageEncoder {
 public:
  std::map<std::string, torch::Tensor> operator()(const torch::Tensor& image) override {
    const auto t0 = std::chrono::steady_clock::now();
    auto out = inner_(image);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return out;
  }
  double seconds = 0;

 private:
  pelk::testing::GridStatsEncoder inner_;
};

void print_overlap_resolution_time() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "pelk_bench_overlap";
  fs::create_directories(dir);
  cv::Mat3b image(kFrame);
  cv::randu(image, 0, 255);
  const std::string image_path = (dir / "frame.jpg").string();
  cv::imwrite(image_path, image);
  pelk::ClipAnnotationData data;
  for (int f = 0; f < 20; ++f) {
    pelk::FrameRecord r;
    r.image_path = image_path;
    const auto masks = frame_masks(f);
    for (std::size_t i = 0; i < masks.size(); ++i) r.masks_dict.insert_or_assign("Box" + std::to_string(i), pelk::Mask(masks[i]));
    data.emplace(f, std::move(r));
  }
  std::vector<pelk::ReportRow> rows;
  for (int f = 10; f <= 13; ++f) {
    for (const char* pair : {"Box5-Box6", "Box6-Box5"}) {
      pelk::ReportRow row;
      row.frame_id = f;
      row.box_pair = pair;
      rows.push_back(row);
    }
  }
  TimedEncoder encoder;
  pelk::testing::FakePredictor predictor;
  predictor.encoder = &encoder;
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  const int runs = 3;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i) pelk::process_overlap_frames(rows, data, predictor);
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / runs;
  std::cout.rdbuf(old);
  std::printf("%-40s total %.1f ms  encoder %.1f ms  rest %.1f ms (5 frames x 2 boxes x 2 sides)\n",
              "one process_overlap_frames call", total * 1e3, encoder.seconds / runs * 1e3,
              (total - encoder.seconds / runs) * 1e3);
  fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  pelk::bench::RecordingReporter reporter;
  pelk::bench::run_all(argc, argv, reporter);
  pelk::bench::print_ratio("find_best_laste_frame, 600 frames (s)", reporter.seconds("BM_LastFrameCompact"),
                           reporter.seconds("BM_LastFrameFullFrame"), 50);
  pelk::bench::print_ratio("IoU + centroid similarity 10x10 (s)", reporter.seconds("BM_SimilarityCompact"),
                           reporter.seconds("BM_SimilarityFullFrame"), 20);
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  const pelk::BestLastFrame best = pelk::find_best_laste_frame(clip());
  std::cout.rdbuf(old);
  int chosen = -1;
  for (auto& [key, record] : clip()) chosen = &record == best.best_laste_frame ? key : chosen;
  std::printf("chosen frame key %d (baseline chose %d)\n", chosen,
              kFrames - 10 + full_frame_selection(last_full_frames()));
  print_overlap_resolution_time();
  return 0;
}
