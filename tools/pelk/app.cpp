#include "app.hpp"

#include <cstdio>
#include <iostream>

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

int run_app(CLI::App& app, int argc, char** argv) {
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
