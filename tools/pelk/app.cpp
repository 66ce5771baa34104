#include "app.hpp"

#include <csignal>
#include <cstdio>
#include <iostream>

#include "pelk_utils/core/stop.hpp"

namespace pelk::cli {
namespace {

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

void set_up_app(CLI::App& app) {
  app.description("pelk: follow individual pigs through overhead pen videos.\n"
                  "Catalogue and cut recordings, start and track clips, report doubtful frames,\n"
                  "carry identities into the next clip, clean masks, and draw review pictures.\n"
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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
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
