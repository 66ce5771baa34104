// Frame extraction of a realistic recording: 20 s of the synthetic pen scene
// at 2560 x 1440, 25 fps, encoded as H.264 by ffmpeg (libx264). The library's
// crop_video_to_frames (libav decoding, crop cut in YCbCr, JPEG writing on
// two threads) against two baselines in the same run: a bare single-thread
// OpenCV loop (read, crop, write) and the ffmpeg command line doing the same
// decode, crop and JPEG writing of every frame. Target: at most 0.8x the
// ffmpeg wall time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "bench_report.hpp"
#include "pelk_utils/synth/pen_scene.hpp"
#include "pelk_utils/video/video_processor.hpp"

namespace {
namespace fs = std::filesystem;

constexpr int kSeconds = 20;
constexpr int kFps = 25;
const fs::path kDir = fs::temp_directory_path() / "pelk_bench_video";

bool have_ffmpeg() { return std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") == 0; }

// Writes the scene as raw frames through ffmpeg into an H.264 file.
const std::string& video_path() {
  static const std::string path = [] {
    fs::create_directories(kDir);
    const std::string p = (kDir / "Camera62_1_20240405070000_h264.mp4").string();
    if (fs::exists(p)) return p;
    pelk::synth::SceneConfig c;
    c.frames = kSeconds * kFps;
    const pelk::synth::PenScene scene(c);
    const std::string command = "ffmpeg -hide_banner -loglevel error -y -f rawvideo -pix_fmt bgr24 -s 2560x1440 -r " +
                                std::to_string(kFps) + " -i - -c:v libx264 -preset veryfast -crf 23 -pix_fmt yuv420p " + p;
    FILE* pipe = ::popen(command.c_str(), "w");
    if (pipe == nullptr) throw std::runtime_error("cannot start ffmpeg");
    for (int f = 0; f < c.frames; ++f) {
      const cv::Mat frame = scene.camera_frame(f);
      std::fwrite(frame.data, 1, frame.total() * frame.elemSize(), pipe);
    }
    if (::pclose(pipe) != 0) throw std::runtime_error("ffmpeg could not encode the benchmark video");
    return p;
  }();
  return path;
}

void BM_CropVideoToFrames(benchmark::State& state) {
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  for (auto _ : state) {
    pelk::VideoProcessor p;
    p.crop_video_to_frames(video_path(), (kDir / "ours").string(), 0, pelk::Number(kSeconds / 60.0), std::string("62"));
    sink.str("");
  }
  std::cout.rdbuf(old);
}
BENCHMARK(BM_CropVideoToFrames)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

void BM_BareLoopBaseline(benchmark::State& state) {
  for (auto _ : state) {
    fs::create_directories(kDir / "bare");
    cv::VideoCapture cap(video_path(), cv::CAP_FFMPEG);
    cv::Mat frame;
    cap.read(frame);  // the first frame goes to marker detection in the library too
    const cv::Rect crop(1120, 0, 1180, 1440);
    char name[64];
    for (int i = 0; cap.read(frame); ++i) {
      std::snprintf(name, sizeof(name), "/%04d.jpg", i);
      cv::imwrite((kDir / "bare").string() + name, frame(crop));
    }
  }
}
BENCHMARK(BM_BareLoopBaseline)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

void BM_FfmpegBaseline(benchmark::State& state) {
  fs::create_directories(kDir / "ffmpeg");
  const std::string command = "ffmpeg -hide_banner -loglevel error -y -i " + video_path() +
                              " -vf crop=1180:1440:1120:0 -q:v 3 " + (kDir / "ffmpeg" / "%04d.jpg").string();
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
  }
}
BENCHMARK(BM_FfmpegBaseline)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!have_ffmpeg()) {
    std::printf("ffmpeg is not installed (scripts/setup installs it); the frame extraction benchmark needs it\n");
    return 0;
  }
  video_path();
  pelk::bench::RecordingReporter reporter;
  pelk::bench::run_all(argc, argv, reporter);
  const double ours = reporter.seconds("BM_CropVideoToFrames");
  const double bare = reporter.seconds("BM_BareLoopBaseline");
  const double ffmpeg = reporter.seconds("BM_FfmpegBaseline");
  std::printf("%-40s ours %.3f s  bare loop %.3f s  ffmpeg %.3f s\n", "frame extraction, 20 s of H.264", ours, bare,
              ffmpeg);
  std::printf("%-40s ours/ffmpeg %.2f (target <= 0.80) %s; ours/bare loop %.2f\n", "", ours / ffmpeg,
              ours / ffmpeg <= 0.8 ? "MET" : "NOT MET", ours / bare);
  fs::remove_all(kDir / "ours");
  fs::remove_all(kDir / "bare");
  fs::remove_all(kDir / "ffmpeg");
  return 0;
}
