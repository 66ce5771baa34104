// Whole-clip load of 600 annotation files (10 animals, 1180 x 1440), with
// intersections tables, followed by the tracking report. Prints the frame
// rate against a full-frame rasterising loader measured in the same run, and
// the bytes the loaded clip holds against the full-frame equivalent.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <opencv2/imgproc.hpp>

#include "bench_report.hpp"
#include "clip_generator.hpp"
#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/quality/tracking_report.hpp"

namespace {

constexpr int kFrames = 600;
constexpr int kBaselineFrames = 30;

const std::string& clip_dir() {
  static const std::string dir = pelk::bench::write_clip(
      (std::filesystem::temp_directory_path() / "pelk_bench_clip").string(), kFrames);
  return dir;
}

void BM_LoadClipAndReport(benchmark::State& state) {
  const std::string report_dir = clip_dir() + "_report";
  std::filesystem::create_directories(report_dir);
  std::streambuf* old = std::cout.rdbuf(nullptr);  // the report's two lines are not the measurement
  for (auto _ : state) {
    const pelk::AnnotationData data = pelk::get_pelk_annotation_data("", false, 0, clip_dir());
    benchmark::DoNotOptimize(pelk::generate_tracking_report(*data.pelk_annotation_data, report_dir));
  }
  std::cout.rdbuf(old);
  state.counters["frames_per_s"] = benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LoadClipAndReport)->Unit(benchmark::kMillisecond)->Iterations(3);

// Full-frame loader: every detection filled into a whole-frame raster, areas
// counted, every pair intersected over the whole frame.
void BM_FullFrameLoaderBaseline(benchmark::State& state) {
  const auto files = pelk::list_annotation_files(clip_dir());
  for (auto _ : state) {
    for (int f = 0; f < kBaselineFrames; ++f) {
      const nlohmann::json doc = pelk::read_annotation_json(files[static_cast<std::size_t>(f)]);
      std::vector<cv::Mat1b> masks;
      for (const auto& det : doc["detections"]) {
        cv::Mat1b m = cv::Mat1b::zeros(pelk::bench::kFrame);
        for (const auto& poly : det["formatted_polygon"]) {
          const pelk::PolygonString p = pelk::parse_polygon_string(poly.get<std::string>(), "bench");
          std::vector<cv::Point> pts;
          for (std::size_t i = 0; i + 1 < p.coords.size(); i += 2) {
            pts.emplace_back(int(p.coords[i] * m.cols), int(p.coords[i + 1] * m.rows));
          }
          cv::fillPoly(m, std::vector<std::vector<cv::Point>>{pts}, cv::Scalar(1));
        }
        masks.push_back(m);
      }
      std::vector<int> areas;
      for (const auto& m : masks) areas.push_back(cv::countNonZero(m));
      cv::Mat1b product;
      double sum = 0;
      for (std::size_t i = 0; i < masks.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
          cv::multiply(masks[i], masks[j], product);
          sum += cv::countNonZero(product);
        }
      }
      benchmark::DoNotOptimize(sum);
    }
  }
  state.counters["frames_per_s"] = benchmark::Counter(kBaselineFrames, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FullFrameLoaderBaseline)->Unit(benchmark::kMillisecond)->Iterations(2);

std::size_t bytes_held(const pelk::ClipAnnotationData& clip) {
  std::size_t bytes = 0;
  for (const auto& [key, record] : clip) {
    for (const auto& [box, mask] : record.masks_dict) bytes += mask.roi().total() + sizeof(pelk::Mask) + box.capacity();
    bytes += record.mask_areas.size() * (sizeof(std::int64_t) + 32);
    if (record.intersections_df) bytes += record.intersections_df->values().total() * sizeof(double);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  pelk::bench::RecordingReporter reporter;
  pelk::bench::run_all(argc, argv, reporter);
  const double ours_rate = kFrames / reporter.seconds("BM_LoadClipAndReport");
  const double base_rate = kBaselineFrames / reporter.seconds("BM_FullFrameLoaderBaseline");
  std::printf("%-40s ours %.0f  full-frame baseline %.0f  ratio %.1fx  (target >= 1000 frames/s) %s\n",
              "whole-clip load + report (frames/s)", ours_rate, base_rate, ours_rate / base_rate,
              ours_rate >= 1000 ? "MET" : "NOT MET");

  const pelk::AnnotationData data = pelk::get_pelk_annotation_data("", false, 0, clip_dir());
  const double held = static_cast<double>(bytes_held(*data.pelk_annotation_data));
  const double full = static_cast<double>(kFrames) * 10 * pelk::bench::kFrame.area();
  std::printf("%-40s ours %.0f  full-frame %.0f  share %.2f%%  (target <= 5%%) %s\n", "bytes held by the loaded clip",
              held, full, 100 * held / full, held <= 0.05 * full ? "MET" : "NOT MET");
  return 0;
}
