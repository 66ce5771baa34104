// pelk: the command line of pelk_utils. Each subcommand explains itself with
// --help. Errors end in one line on standard error and a non-zero exit code.
#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "commands.hpp"

#ifndef PELK_VERSION
#define PELK_VERSION "0.0.0"
#endif

namespace {

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  // OpenCV's own warnings (an unreadable image) would add a second line to
  // the one error line the command prints.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  CLI::App app{"pelk: follow individual pigs through overhead pen videos.\n"
               "Catalogue and cut recordings, start and track clips, report doubtful frames,\n"
               "carry identities into the next clip, clean masks, and draw review pictures.\n"
               "Start with `pelk demo`.",
               "pelk"};
  app.set_version_flag("--version", std::string("pelk ") + PELK_VERSION);
  app.require_subcommand(1);
  pelk::cli::add_catalog_command(app);
  pelk::cli::add_extract_command(app);
  pelk::cli::add_init_command(app);
  pelk::cli::add_track_command(app);
  pelk::cli::add_report_command(app);
  pelk::cli::add_match_command(app);
  pelk::cli::add_clean_command(app);
  pelk::cli::add_render_command(app);
  pelk::cli::add_fix_polygons_command(app);
  pelk::cli::add_heatmap_command(app);
  pelk::cli::add_cluster_command(app);
  pelk::cli::add_motion_command(app);
  pelk::cli::add_review_command(app);
  pelk::cli::add_demo_command(app);
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
