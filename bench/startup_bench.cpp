// Start-up of the `pelk` command line: wall time and peak memory of whole
// processes (`pelk --version`, `pelk catalog` on a small folder, `pelk
// report` on a 20-frame clip), each beside the same command in pelk-full,
// the program that links every library and libtorch as the single `pelk`
// binary did. Each process is measured by peak_memory (fork, exec,
// wait4) so that its memory is its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_report.hpp"
#include "clip_generator.hpp"

namespace {
namespace fs = std::filesystem;

struct ProcessCost {
  double seconds = 0;
  double peak_mb = 0;
};

fs::path tools_dir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "pelk"; }

// Runs `args` through peak_memory; returns its wall time and peak
// resident memory.
ProcessCost run_process(const std::vector<std::string>& args) {
  std::string line = (fs::read_symlink("/proc/self/exe").parent_path() / "peak_memory").string();
  for (const std::string& a : args) line += " '" + a + "'";
  FILE* pipe = ::popen(line.c_str(), "r");
  double seconds = 0;
  long kb = 0;
  if (pipe == nullptr || std::fscanf(pipe, "%lf %ld", &seconds, &kb) != 2) std::fprintf(stderr, "cannot run %s\n", line.c_str());
  const int status = pipe ? ::pclose(pipe) : -1;
  if (status != 0) std::fprintf(stderr, "%s failed (%d)\n", line.c_str(), status);
  return {seconds, static_cast<double>(kb) / 1024.0};
}

const fs::path& data_dir() {
  static const fs::path dir = [] {
    const fs::path d = fs::temp_directory_path() / "pelk_bench_startup";
    fs::create_directories(d / "videos" / "cam61");
    for (int h = 6; h < 12; ++h) std::ofstream(d / "videos" / "cam61" / ("Camera61_1_202401050" + std::to_string(h) + "0000.mp4"));
    pelk::bench::write_clip((d / "clip").string(), 20);
    return d;
  }();
  return dir;
}

std::vector<std::string> command(const std::string& program, const std::string& which) {
  const std::string exe = (tools_dir() / program).string();
  if (which == "version") return {exe, "--version"};
  if (which == "catalog") return {exe, "catalog", (data_dir() / "videos").string(), "--sub-dir", "cam61"};
  return {exe, "report", (data_dir() / "clip").string(), "--out", (data_dir() / "report").string()};
}

std::map<std::string, double> peaks;

void BM_Startup(benchmark::State& state, const std::string& program, const std::string& which) {
  const std::vector<std::string> args = command(program, which);
  double peak = 0;
  for (auto _ : state) {
    const ProcessCost cost = run_process(args);
    state.SetIterationTime(cost.seconds);
    peak = std::max(peak, cost.peak_mb);
  }
  state.counters["peak_MB"] = peak;
  peaks[program + " " + which] = peak;
}

}  // namespace

int main(int argc, char** argv) {
  for (const char* which : {"version", "catalog", "report"}) {
    for (const char* program : {"pelk", "pelk-full"}) {
      benchmark::RegisterBenchmark((std::string("BM_Startup/") + program + "/" + which).c_str(),
                                   [=](benchmark::State& s) { BM_Startup(s, program, which); })
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond)
          ->Iterations(10);
    }
  }
  pelk::bench::RecordingReporter reporter;
  pelk::bench::run_all(argc, argv, reporter);
  for (const char* which : {"version", "catalog", "report"}) {
    const double ours = reporter.seconds(std::string("BM_Startup/pelk/") + which) * 1e3;
    const double base = reporter.seconds(std::string("BM_Startup/pelk-full/") + which) * 1e3;
    const double ours_mb = peaks[std::string("pelk ") + which], base_mb = peaks[std::string("pelk-full ") + which];
    const bool target = std::string(which) != "report";
    std::printf("pelk %-8s ours %6.1f ms %6.1f MB   all-in-one baseline %6.1f ms %6.1f MB%s\n", which, ours, ours_mb,
                base, base_mb,
                target ? (ours < 50 && ours_mb < 40 ? "   (target < 50 ms, < 40 MB) MET" : "   (target < 50 ms, < 40 MB) NOT MET")
                       : "");
  }
  return 0;
}
