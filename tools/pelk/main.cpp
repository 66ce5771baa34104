// pelk-full and pelk-tools: the programs behind `pelk`. pelk-full has every
// command; pelk-tools (built without PELK_WITH_MODELS) has those that use
// no model, so it starts without loading libtorch. `pelk` itself starts
// whichever a command needs.
#include <opencv2/core/utils/logger.hpp>

#include "app.hpp"
#include "commands.hpp"

int main(int argc, char** argv) {
  // OpenCV's own warnings (an unreadable image) would add a second line to
  // the one error line the command prints.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  CLI::App app;
  pelk::cli::set_up_app(app);
  pelk::cli::add_catalog_command(app);
  pelk::cli::add_extract_command(app);
#if PELK_WITH_MODELS
  pelk::cli::add_init_command(app);
  pelk::cli::add_track_command(app);
#endif
  pelk::cli::add_report_command(app);
#if PELK_WITH_MODELS
  pelk::cli::add_match_command(app);
  pelk::cli::add_chain_command(app);
#endif
  pelk::cli::add_repair_command(app);
  pelk::cli::add_clean_command(app);
  pelk::cli::add_render_command(app);
  pelk::cli::add_fix_polygons_command(app);
  pelk::cli::add_heatmap_command(app);
  pelk::cli::add_cluster_command(app);
  pelk::cli::add_motion_command(app);
  pelk::cli::add_review_command(app);
  pelk::cli::add_evaluate_command(app);
  pelk::cli::add_import_command(app);
  pelk::cli::add_tracks_command(app);
  pelk::cli::add_export_command(app);
  pelk::cli::add_behaviour_command(app);
  pelk::cli::add_shard_command(app);
#if PELK_WITH_MODELS
  pelk::cli::add_demo_command(app);
#endif
  return pelk::cli::run_app(app, argc, argv);
}
