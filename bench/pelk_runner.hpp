// Runs the `pelk` command over clips in its own process, through the
// peak_memory launcher, for benchmarks of time and peak memory over many
// clips in a row.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace pelk::bench {

// Runs `pelk <verb> CLIPS... --out OUT` (the binaries beside `bin`);
// returns its seconds and peak KiB (zeros, with a line on stderr, when it
// could not be run or failed).
inline std::pair<double, long> run_pelk(const std::filesystem::path& bin, const std::string& verb,
                                        const std::vector<std::string>& clips, const std::string& out) {
  std::string command = (bin / "peak_memory").string() + " " + (bin.parent_path() / "tools" / "pelk" / "pelk").string() +
                        " " + verb;
  for (const std::string& c : clips) command += " " + c;
  command += " --out " + out;
  FILE* pipe = ::popen(command.c_str(), "r");
  double seconds = 0;
  long kib = 0;
  const bool read = pipe != nullptr && std::fscanf(pipe, "%lf %ld", &seconds, &kib) == 2;
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  if (!read || status != 0) {
    std::fprintf(stderr, "failed (status %d): %s\n", status, command.c_str());
    return {0, 0};
  }
  return {seconds, kib};
}

// The same clip folder under `n` names (links beside it), for runs over
// many clips in a row.
inline std::vector<std::string> clip_names(const std::filesystem::path& base, const std::string& clip, int n) {
  std::vector<std::string> clips;
  for (int i = 0; i < n; ++i) {
    const std::filesystem::path link = base / ("clip_" + std::to_string(i));
    if (!std::filesystem::exists(link)) std::filesystem::create_directory_symlink(clip, link);
    clips.push_back(link.string());
  }
  return clips;
}

}  // namespace pelk::bench
