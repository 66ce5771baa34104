// Whole-clip load of 600 annotation files (10 animals, 1180 x 1440), with
// intersections tables, followed by the tracking report. Prints the time on
// all cores beside one thread and a full-frame rasterising loader measured
// in the same run, the peak memory above start-up, and the bytes the loaded
// clip holds beside the byte-per-pixel layout and the full-frame equivalent.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

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

// Loads the clip on `threads` threads and writes its tracking report.
void load_and_report(unsigned threads, const std::string& report_dir) {
  const std::vector<std::string> files = pelk::list_annotation_files(clip_dir());
  const pelk::ClipAnnotationData clip = pelk::internal::load_clip_files(files, pelk::bench::kFrame, threads);
  benchmark::DoNotOptimize(pelk::generate_tracking_report(clip, report_dir));
}

void BM_LoadClipAndReport(benchmark::State& state) {
  const std::string report_dir = clip_dir() + "_report";
  std::filesystem::create_directories(report_dir);
  std::streambuf* old = std::cout.rdbuf(nullptr);  // the report's two lines are not the measurement
  for (auto _ : state) load_and_report(static_cast<unsigned>(state.range(0)), report_dir);
  std::cout.rdbuf(old);
  state.counters["frames_per_s"] = benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate);
}
// All cores (what get_pelk_annotation_data uses here), then one thread.
BENCHMARK(BM_LoadClipAndReport)->Arg(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())))
    ->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_LoadClipAndReport)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// Returns a "Vm..." figure of /proc/self/status in MB.
double status_mb(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1)) / 1024.0;
  }
  return 0;
}

// Returns the peak resident memory, above the memory held before, of one
// whole-clip load and report, measured in a child process started before
// any benchmark ran (its memory then is the program's start-up state; the
// peak is reset first through /proc/self/clear_refs).
double peak_above_start_mb() {
  clip_dir();  // written before the measurement
  ::malloc_trim(0);
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::ofstream("/proc/self/clear_refs") << "5";
    const double before = status_mb("VmRSS");
    std::cout.rdbuf(nullptr);
    load_and_report(std::max(1u, std::thread::hardware_concurrency()), clip_dir() + "_report");
    const double peak = status_mb("VmHWM") - before;
    (void)!::write(fds[1], &peak, sizeof(peak));
    ::_exit(0);
  }
  double peak = -1;
  ::close(fds[1]);
  (void)!::read(fds[0], &peak, sizeof(peak));
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return peak;
}

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
    for (const auto& [box, mask] : record.masks_dict) bytes += mask.bytes() + sizeof(pelk::Mask) + box.capacity();
    bytes += record.mask_areas.size() * (sizeof(std::int64_t) + 32);
    if (record.intersections_df) bytes += record.intersections_df->values().total() * sizeof(double);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const double peak = peak_above_start_mb();
  pelk::bench::RecordingReporter reporter;
  pelk::bench::run_all(argc, argv, reporter);
  const double all_cores = reporter.seconds("BM_LoadClipAndReport/" + std::to_string(std::max(1u, std::thread::hardware_concurrency())));
  const double one_thread = reporter.seconds("BM_LoadClipAndReport/1/");
  const double base_rate = kBaselineFrames / reporter.seconds("BM_FullFrameLoaderBaseline");
  std::printf("%-40s ours %.0f ms (%.0f frames/s)  one thread %.0f ms  full-frame baseline %.0f frames/s  (target <= 150 ms) %s\n",
              "whole-clip load + report, 600 frames", all_cores * 1e3, kFrames / all_cores, one_thread * 1e3, base_rate,
              all_cores <= 0.150 ? "MET" : "NOT MET");
  const pelk::AnnotationData data = pelk::get_pelk_annotation_data("", false, 0, clip_dir());
  const double held = static_cast<double>(bytes_held(*data.pelk_annotation_data));
  double byte_per_pixel = 0;
  for (const auto& [key, record] : *data.pelk_annotation_data) {
    for (const auto& [box, mask] : record.masks_dict) byte_per_pixel += static_cast<double>(mask.bounds().area());
  }
  const double full = static_cast<double>(kFrames) * 10 * pelk::bench::kFrame.area();
  std::printf("%-40s ours %.1f MB  at a byte per pixel (the previous layout) %.1f MB  full-frame %.0f MB  share %.2f%%  (target <= 5%%) %s\n",
              "mask bytes held by the loaded clip", held / 1e6, byte_per_pixel / 1e6, full / 1e6, 100 * held / full,
              held <= 0.05 * full ? "MET" : "NOT MET");
  std::printf("%-40s ours %.1f MB  (target <= 100 MB) %s\n", "peak memory above start-up, load + report", peak,
              peak <= 100 ? "MET" : "NOT MET");
  return 0;
}
