// pelk: the command line of pelk_utils. It answers --version, `catalog`,
// `shard` and `extract` itself, linking neither libtorch nor OpenCV's image
// codecs (start-up counts in a job array of short recordings), and hands every other command
// to the program it needs: pelk-tools for commands that use no model,
// pelk-full for those that do (init, track, match, chain, repair without --undo or
// --apply, demo, and report or review with --resolve) and for the help. Each subcommand explains itself
// with --help.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "app.hpp"
#include "commands.hpp"

namespace {
namespace fs = std::filesystem;

bool is_one_of(const std::string& word, std::initializer_list<const char*> words) {
  for (const char* w : words) {
    if (word == w) return true;
  }
  return false;
}

// Returns the program a command runs in.
const char* program_for(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  bool resolve = false, no_model = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    resolve = resolve || arg == "--resolve";
    // repair --undo and --apply take back or apply exchanges: no model.
    no_model = no_model || arg == "--undo" || arg == "--apply" || arg.rfind("--apply=", 0) == 0;
  }
  if (is_one_of(command, {"report", "review"})) return resolve ? "pelk-full" : "pelk-tools";
  if (command == "repair" && no_model && !is_one_of(argc > 2 ? argv[2] : "", {"--help", "-h"})) return "pelk-tools";
  if (is_one_of(command, {"clean", "render", "fix-polygons", "heatmap", "cluster", "motion", "evaluate", "import", "tracks", "export", "behaviour"})) {
    return "pelk-tools";
  }
  return "pelk-full";  // model commands, the help, and the error for anything else
}

// Returns where `program` is installed beside this one: in the same folder
// (a build tree) or in ../libexec/pelk (an install).
fs::path locate(const char* program) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  const fs::path dir = ec ? fs::path(".") : self.parent_path();
  for (const fs::path& candidate : {dir / program, dir / ".." / "libexec" / "pelk" / program}) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return dir / program;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "--version") {
    std::cout << pelk::cli::version_text() << "\n";
    return 0;
  }
  if (command == "catalog" || command == "shard" || command == "extract") {
    CLI::App app;
    pelk::cli::set_up_app(app);
    pelk::cli::add_catalog_command(app);
    pelk::cli::add_shard_command(app);
    pelk::cli::add_extract_command(app);
    return pelk::cli::run_app(app, argc, argv);
  }
  const fs::path program = locate(program_for(argc, argv));
  ::execv(program.c_str(), argv);
  std::cerr << "pelk: error: cannot start " << program.string() << ": " << std::strerror(errno) << "\n";
  return 1;
}
