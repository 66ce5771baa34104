// The `pelk` program run from tests: its exit code and what it printed,
// and a scratch folder with a small synthetic clip (frames, pen file and
// annotation files from the scene's truth).
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/synth/pen_scene.hpp"

namespace pelk {
namespace fs = std::filesystem;

struct CliRun {
  int code = -1;
  std::string out, err;
};

// Runs `pelk` with `args` (shell words) and returns exit code and output.
inline CliRun pelk(const std::string& args, const fs::path& dir, const std::string& env = "") {
  const std::string err_file = (dir / "stderr.txt").string();
  const std::string command = env + " " + std::string(PELK_BINARY) + " " + args + " 2>" + err_file;
  CliRun r;
  FILE* pipe = ::popen(command.c_str(), "r");
  std::array<char, 4096> buf{};
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0;) r.out.append(buf.data(), n);
  const int status = ::pclose(pipe);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = testing::slurp(err_file);
  return r;
}

class PelkCliTest : public testing::ScratchDirTest {
 protected:
  // A small clip: frames, a pen file, and annotation files from the truth.
  void make_clip(int frames) {
    synth::SceneConfig c;
    c.frame_size = {590, 720};
    const synth::PenScene scene(c);
    frame_paths_ = scene.write_frames(path("frames"), 0, frames);
    scene.write_pen_file(path("pen.json"));
    fs::create_directories(dir_ / "ann");
    for (int f = 0; f < frames; ++f) {
      std::vector<AnnotatedObject> objects;
      for (const auto& t : scene.truth(f)) objects.push_back({t.identity + 1, t.mask});
      write_annotation_file(path("ann/output_pp_" + std::to_string(f) + ".json"), frame_paths_[static_cast<std::size_t>(f)],
                            objects);
    }
  }
  CliRun run(const std::string& args, const std::string& env = "") { return pelk(args, dir_, env); }
  // Returns `args` with every "@" replaced by the scratch folder and "/".
  std::string in_scratch(std::string args) const {
    for (std::size_t at; (at = args.find('@')) != std::string::npos;) args.replace(at, 1, dir_.string() + "/");
    return args;
  }
  std::vector<std::string> frame_paths_;
};

}  // namespace pelk
