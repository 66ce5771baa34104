// Frame extraction against the decoder's floor. Generates camera-like
// recordings (2560 x 1440, 25 fps, a grainy floor whose sensor noise changes
// every frame, ten moving animals, the orange marker; libx264 CRF 23, a key
// frame every 50 and every 250 frames; 20 s each), then times, alternating
// over several runs, `pelk extract` with default settings (its output removed
// before each run), `ffmpeg -i REC -f null -` (decoding alone: the floor) and
// ffmpeg cropping the same region and writing JPEGs. Prints median CPU time
// (user + system) and wall time of each, and pelk's ratios to the floor.
// The job's own floor is decoding alone plus encoding the same crops alone
// at the same quality (libjpeg on planes made ready beforehand, in this
// process): extraction's CPU is printed against that sum too, from the
// medians and round by round (each round times all of them once).
// Then the peak memory of `pelk extract` over a 10-minute recording (the
// 20 s one repeated, stream-copied) against the 20 s one.
//
// PELK_BENCH_RUNS sets the runs per command (default 5); PELK_BENCH_QUICK=1
// makes 4 s recordings and skips the 10-minute one (a smoke run).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/synth/pen_scene.hpp"
#include "pelk_utils/video/internal/video_reader.hpp"
#include "pelk_utils/video/internal/yuv_jpeg.hpp"

namespace {
namespace fs = std::filesystem;

struct Cost {
  double cpu = 0, wall = 0, peak_mb = 0;
};

// Runs `args` (no shell), output discarded; returns its CPU time, wall time
// and peak resident memory, from wait4.
Cost run(const std::vector<std::string>& args) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "failed: %s ...\n", args[0].c_str());
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), wall, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Writes the camera view of the synthetic scene with fresh sensor noise on
// every frame through libx264 into `path`.
void write_recording(const std::string& path, int frames, int keyframe_interval) {
  pelk::synth::SceneConfig config;
  config.frames = frames;
  config.overlap = {frames + 10, frames + 11};  // animals sway and walk; no scripted event needed
  const pelk::synth::PenScene scene(config);
  const cv::Size size = scene.camera_frame(0).size();
  const std::string command = "ffmpeg -hide_banner -loglevel error -y -f rawvideo -pix_fmt bgr24 -s " +
                              std::to_string(size.width) + "x" + std::to_string(size.height) +
                              " -r 25 -i - -c:v libx264 -preset veryfast -crf 23 -g " + std::to_string(keyframe_interval) +
                              " -keyint_min " + std::to_string(keyframe_interval) + " -sc_threshold 0 -pix_fmt yuv420p '" +
                              path + "'";
  FILE* pipe = ::popen(command.c_str(), "w");
  if (pipe == nullptr) throw std::runtime_error("cannot run ffmpeg");
  // Sensor grain: windows at random offsets into a larger noise field, so
  // that every frame's noise is new to the encoder.
  cv::Mat noise(size.height + 64, size.width + 64, CV_16SC3);
  cv::randn(noise, 0, 7);
  std::mt19937 rng(7);
  cv::Mat frame16, out;
  for (int f = 0; f < frames; ++f) {
    scene.camera_frame(f).convertTo(frame16, CV_16SC3);
    frame16 += noise(cv::Rect(static_cast<int>(rng() % 64), static_cast<int>(rng() % 64), size.width, size.height));
    frame16.convertTo(out, CV_8UC3);
    std::fwrite(out.data, 1, out.total() * out.elemSize(), pipe);
  }
  if (::pclose(pipe) != 0) throw std::runtime_error("ffmpeg could not write " + path);
}

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Returns the CPU seconds libjpeg takes to encode the crops pelk saves from
// `rec` (every frame after the first, columns 1120..2300) at pelk's quality,
// from full-range padded planes prepared before the clock starts.
double encode_alone_cpu(const std::string& rec) {
  pelk::internal::VideoReader reader(rec);
  std::vector<pelk::internal::Yuv420Image> crops;
  if (!reader.read()) return 0;  // the detection frame: not saved
  while (reader.read()) {
    const auto region = reader.yuv420(cv::Rect(1120, 0, 1180, 1440));
    if (region) crops.push_back(region->planes());
  }
  const double start = cpu_seconds();
  std::size_t bytes = 0;
  for (const auto& crop : crops) bytes += pelk::internal::encode_jpeg(crop).size();
  const double spent = cpu_seconds() - start;
  if (bytes == 0) std::fprintf(stderr, "no crop was encoded\n");
  return spent;
}

// Returns the CPU seconds of encoding the first `count` crops of `rec` from
// the decoded frames as extraction did before (padded planes copied, then
// libjpeg) and as it does now (rows handed to libjpeg strip by strip).
std::pair<double, double> planes_against_strips(const std::string& rec, std::size_t count) {
  pelk::internal::VideoReader reader(rec);
  std::vector<pelk::internal::FrameRegion> regions;
  if (!reader.read()) return {0, 0};
  while (regions.size() < count && reader.read()) {
    if (auto region = reader.yuv420(cv::Rect(1120, 0, 1180, 1440))) regions.push_back(std::move(*region));
  }
  std::size_t bytes = 0;
  double start = cpu_seconds();
  for (const auto& r : regions) bytes += pelk::internal::encode_jpeg(r.planes()).size();
  const double planes = cpu_seconds() - start;
  start = cpu_seconds();
  for (const auto& r : regions) bytes -= r.jpeg().size();
  const double strips = cpu_seconds() - start;
  if (bytes != 0) std::fprintf(stderr, "the two encodings differ\n");
  return {planes, strips};
}

struct Commands {
  std::vector<std::string> ours, floor, ffmpeg_jpeg;
  fs::path out, jpeg_out;
};

Commands commands_for(const fs::path& root, const std::string& pelk) {
  Commands c;
  c.out = root / "frames";
  c.jpeg_out = root / "ffmpeg_jpeg";
  const std::string rec = (root / "videos" / "cam62" / "Camera62_1_20240405080000.mp4").string();
  c.ours = {pelk, "extract", (root / "videos").string(), "--sub-dir", "cam62", "--out", c.out.string()};
  c.floor = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-i", rec, "-f", "null", "-"};
  // The region pelk saves: from 50 px before the marker to column 2300.
  c.ffmpeg_jpeg = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-i", rec, "-vf", "crop=1180:1440:1120:0",
                   "-q:v", "2", (c.jpeg_out / "%04d.jpg").string()};
  return c;
}

void clear(const fs::path& dir, bool make) {
  fs::remove_all(dir);
  if (make) fs::create_directories(dir);
}

void measure(const char* name, const fs::path& root, const std::string& pelk, int runs) {
  const Commands c = commands_for(root, pelk);
  const std::string rec = (root / "videos" / "cam62" / "Camera62_1_20240405080000.mp4").string();
  std::vector<double> cpu[3], wall[3], encode, paired;
  // Each round measures everything once, so that the job's floor (decoding
  // alone + encoding alone) is compared with extraction round by round: a
  // shared machine's speed drifts between rounds, much less within one.
  for (int r = 0; r < runs; ++r) {
    clear(c.out, false);
    const Cost ours = run(c.ours);
    const Cost floor = run(c.floor);
    clear(c.jpeg_out, true);
    const Cost jpeg = run(c.ffmpeg_jpeg);
    for (int i = 0; const Cost& k : {ours, floor, jpeg}) cpu[i].push_back(k.cpu), wall[i++].push_back(k.wall);
    encode.push_back(encode_alone_cpu(rec));
    paired.push_back(ours.cpu / (floor.cpu + encode.back()));
  }
  const double ours_cpu = median(cpu[0]), floor_cpu = median(cpu[1]), jpeg_cpu = median(cpu[2]);
  const double ours_wall = median(wall[0]), floor_wall = median(wall[1]), jpeg_wall = median(wall[2]);
  const double encode_cpu = median(encode);
  std::printf("%s: medians of %d runs\n", name, runs);
  std::printf("  %-34s cpu %7.2f s  wall %7.2f s\n", "pelk extract (default settings)", ours_cpu, ours_wall);
  std::printf("  %-34s cpu %7.2f s  wall %7.2f s\n", "ffmpeg -i REC -f null - (floor)", floor_cpu, floor_wall);
  std::printf("  %-34s cpu %7.2f s  wall %7.2f s\n", "ffmpeg crop + JPEG", jpeg_cpu, jpeg_wall);
  std::printf("  pelk / floor: cpu %.2fx (target <= 1.15x), wall %.2fx (target <= 1.10x); wall below cpu: %s\n",
              ours_cpu / floor_cpu, ours_wall / floor_wall, ours_wall < ours_cpu ? "yes" : "no");
  std::printf("  pelk / ffmpeg crop + JPEG: cpu %.2fx, wall %.2fx\n", ours_cpu / jpeg_cpu, ours_wall / jpeg_wall);
  std::printf("  %-34s cpu %7.2f s\n", "encoding the same crops alone", encode_cpu);
  std::printf("  pelk / (decoding alone + encoding alone): cpu %.2fx of the medians; round by round %.2fx median "
              "(%.2fx to %.2fx) (target <= 1.00x)\n",
              ours_cpu / (floor_cpu + encode_cpu), median(paired), *std::min_element(paired.begin(), paired.end()),
              *std::max_element(paired.begin(), paired.end()));
  const auto [planes, strips] =
      planes_against_strips((root / "videos" / "cam62" / "Camera62_1_20240405080000.mp4").string(), 100);
  std::printf("  100 crops from decoded frames: padded planes + libjpeg %.2f s cpu, strips to libjpeg %.2f s "
              "(%.0f%% less)\n", planes, strips, 100 * (1 - strips / planes));
  std::fflush(stdout);
}

}  // namespace

int main() {
  const bool quick = std::getenv("PELK_BENCH_QUICK") != nullptr;
  const int runs = std::getenv("PELK_BENCH_RUNS") ? std::atoi(std::getenv("PELK_BENCH_RUNS")) : (quick ? 1 : 5);
  const int frames = quick ? 100 : 500;
  const std::string pelk = (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "pelk" / "pelk").string();
  // Recordings are kept between runs of the benchmark, one set per length.
  const fs::path base = fs::temp_directory_path() / ("pelk_bench_extract_" + std::to_string(frames));
  for (const int interval : {50, 250}) {
    const fs::path root = base / ("keyframe_" + std::to_string(interval));
    fs::create_directories(root / "videos" / "cam62");
    const fs::path rec = root / "videos" / "cam62" / "Camera62_1_20240405080000.mp4";
    if (!fs::exists(rec)) write_recording(rec.string(), frames, interval);
    const std::string name = std::to_string(frames / 25) + " s, key frame every " + std::to_string(interval);
    measure(name.c_str(), root, pelk, runs);
  }
  if (quick) return 0;

  // Memory: the 20 s recording against 30 copies of it back to back.
  const fs::path short_root = base / "keyframe_50", long_root = base / "ten_minutes";
  const fs::path long_rec = long_root / "videos" / "cam62" / "Camera62_1_20240405080000.mp4";
  if (!fs::exists(long_rec)) {
    fs::create_directories(long_rec.parent_path());
    std::ofstream list(long_root / "list.txt");
    for (int i = 0; i < 30; ++i) list << "file '" << (short_root / "videos" / "cam62" / "Camera62_1_20240405080000.mp4").string() << "'\n";
    list.close();
    run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "concat", "-safe", "0", "-i",
         (long_root / "list.txt").string(), "-c", "copy", long_rec.string()});
  }
  const Commands s = commands_for(short_root, pelk), l = commands_for(long_root, pelk);
  clear(s.out, false);
  clear(l.out, false);
  const Cost short_cost = run(s.ours), long_cost = run(l.ours);
  std::printf("peak memory of pelk extract: 20 s %.0f MB, 10 min %.0f MB: %.2fx (target <= 1.2x); 10 min took %.0f s "
              "cpu, %.0f s wall\n",
              short_cost.peak_mb, long_cost.peak_mb, long_cost.peak_mb / short_cost.peak_mb, long_cost.cpu,
              long_cost.wall);
  return 0;
}
