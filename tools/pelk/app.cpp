#include "app.hpp"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <vector>

#include "pelk_utils/core/stop.hpp"

namespace pelk::cli {
namespace {

// Levenshtein distance, for "did you mean" hints.
std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// Drops CLI11's "--name: " in front of a reason that names the option
// itself ("--shard: --shard 1/2x: ..."), so it is said once.
std::string named_once(std::string text) {
  const std::size_t colon = text.find(": ");
  if (colon == std::string::npos || text.rfind("--", 0) != 0) return text;
  const std::string name = text.substr(0, colon);
  const std::string rest = text.substr(colon + 2);
  return rest.rfind(name + " ", 0) == 0 || rest.rfind(name + ":", 0) == 0 ? rest : text;
}

}  // namespace

void set_up_app(CLI::App& app) {
  app.description("pelk: follow individual pigs through overhead pen videos.\n"
                  "Catalogue and cut recordings, start and track clips, report doubtful frames,\n"
                  "carry identities into the next clip, clean masks, measure tracking against\n"
                  "truth (evaluate; truth from MOT or CVAT files: import), write tracks and the\n"
                  "exchange formats (tracks, export), find and undo identity exchanges (repair), and write a review\n"
                  "page for proofreading every frame with the repair's verdicts (review --resolve).\n"
                  "Start with `pelk demo`.");
  app.name("pelk");
  app.set_version_flag("--version", version_text());
  app.require_subcommand(1);
}

namespace {

// The first Ctrl-C (or SIGTERM) asks the running command to stop at its next
// item, so that it leaves whole files and an unfinished-range marker; a
// second one ends the process at once.
extern "C" void stop_on_signal(int signal) {
  request_stop();
  std::signal(signal, SIG_DFL);
}

// Returns the one-line complaint about the first option the chosen command
// does not know (with the closest known one), or "" when all are known: an
// unknown option is named before anything else is checked.
std::string unknown_option(CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return "";
  CLI::App* command = nullptr;
  for (CLI::App* sub : app.get_subcommands({})) {
    if (sub->check_name(argv[1])) command = sub;
  }
  if (command == nullptr) return "";
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-' || std::isdigit(static_cast<unsigned char>(arg[1])) || arg[1] == '.') continue;
    const std::string name = arg.substr(0, arg.find('='));
    if (name == "-h" || name == "--help") continue;
    if (command->get_option_no_throw(name) != nullptr) continue;
    std::string closest;
    std::size_t best = 3;  // at most two edits away
    for (const CLI::Option* option : command->get_options()) {
      for (const std::string& known : option->get_lnames()) {
        const std::size_t d = edit_distance("--" + known, name);
        if (d < best) best = d, closest = "--" + known;
      }
    }
    return "unknown option '" + name + "' for pelk " + argv[1] +
           (closest.empty() ? " (pelk " + std::string(argv[1]) + " --help lists them)" : "; did you mean '" + closest + "'?");
  }
  return "";
}

}  // namespace

int run_app(CLI::App& app, int argc, char** argv) {
  std::signal(SIGINT, stop_on_signal);
  std::signal(SIGTERM, stop_on_signal);
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands({})) known = known || sub->check_name(argv[1]);
    if (!known) {
      std::cerr << "pelk: error: unknown command '" << argv[1] << "' (pelk --help lists the commands)\n";
      return 2;
    }
  }
  if (const std::string unknown = unknown_option(app, argc, argv); !unknown.empty()) {
    std::cerr << "pelk: error: " << unknown << "\n";
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // A command-line mistake: one line naming the option, exit code 2.
    std::cout.flush();
    std::fflush(stdout);
    const std::string command = argc > 1 && argv[1][0] != '-' ? std::string(" ") + argv[1] : std::string();
    std::cerr << "pelk: error: " << named_once(one_line(e.what())) << " (pelk" << command << " --help)\n";
    return 2;
  } catch (const StopRequested&) {
    std::cout.flush();
    std::fflush(stdout);
    std::cerr << "pelk: interrupted; finished work is kept and a rerun continues where this one stopped\n";
    return 130;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::fflush(stdout);
    std::cerr << "pelk: error: " << one_line(e.what()) << "\n";
    return 1;
  } catch (...) {
    std::cerr << "pelk: error: an unknown error stopped the command\n";
    return 1;
  }
  return 0;
}

}  // namespace pelk::cli
