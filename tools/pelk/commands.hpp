// The subcommands of `pelk`: each adds itself to the application. The
// options and run functions of those the demo reuses are declared here too.
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app.hpp"
#include "cli_common.hpp"
#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/video/catalogue.hpp"

namespace pelk::cli {

// The check of every --shard option: a malformed K/N is a command-line
// mistake (exit 2), found before any work starts.
inline CLI::Validator shard_validator() {
  return CLI::Validator([](std::string& text) { return shard_option_problem(text); }, "K/N");
}

// The check of an option that takes a finite number above 0, with a message
// a person reads (CLI11's own prints the whole double range).
inline CLI::Validator positive_number() {
  return CLI::Validator(
      [](std::string& text) {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        const bool ok = end != text.c_str() && *end == '\0' && std::isfinite(value) && value > 0;
        return ok ? std::string() : "'" + text + "' is not a number above 0";
      },
      "NUMBER > 0");
}

void add_catalog_command(CLI::App& app);

// Returns the annotation file's object id of a box key ("Box2" -> 3) or of
// an object id given as a number ("3" -> 3). Throws CLI::ValidationError
// naming --ids otherwise.
int object_id_of(const std::string& given);

// The catalogue and extract options of the recordings to list (base folder,
// --sub-dir, --from, --to, --every, --top, --camera) on `command`.
void add_catalogue_filters(CLI::App& command, VideoMetadata& metadata, std::string& camera);

// Returns the catalogue of `metadata` (keeping one camera when `camera` is
// given) in order of camera, date and time, thinned and windowed in that
// order. Throws CLI::ValidationError (a command-line mistake) naming a
// sub-folder that does not exist.
CatalogueTable catalogue_for(VideoMetadata& metadata, const std::string& camera);
void add_extract_command(CLI::App& app);
void add_init_command(CLI::App& app);
void add_track_command(CLI::App& app);
void add_report_command(CLI::App& app);
void add_match_command(CLI::App& app);
void add_clean_command(CLI::App& app);
void add_render_command(CLI::App& app);
void add_fix_polygons_command(CLI::App& app);
void add_heatmap_command(CLI::App& app);
void add_cluster_command(CLI::App& app);
void add_motion_command(CLI::App& app);
void add_demo_command(CLI::App& app);
void add_review_command(CLI::App& app);
void add_shard_command(CLI::App& app);
void add_evaluate_command(CLI::App& app);
void add_import_command(CLI::App& app);
void add_repair_command(CLI::App& app);
void add_chain_command(CLI::App& app);
void add_tracks_command(CLI::App& app);
void add_export_command(CLI::App& app);
void add_behaviour_command(CLI::App& app);

// Tracks `frames` from frame `first` with the given starting masks (object
// ids 1..N in order) and writes out_dir/output_pp_<k>.json for every frame k
// from `first` on. Returns the number of files written.
std::size_t track_and_write(const std::vector<std::string>& frames, std::size_t first, std::vector<Mask> initial,
                            Models& models, const std::string& out_dir);

// Writes frame `first` with the masks `initial` under object ids `ids` and
// tracks them from there to the last frame (and, with `both_ways`, back to
// the first), writing out_dir/output_pp_<k>.json for every frame reached.
// Empty masks start lost (the detector may find them later). Returns the
// number of files written.
std::size_t track_from(const std::vector<std::string>& frames, std::size_t first, const std::vector<std::int64_t>& ids,
                       const std::vector<Mask>& initial, Models& models, const std::string& out_dir, bool both_ways);

// Reads the masks of annotation file `json_path` at its image's size.
MaskDict read_annotation_masks(const std::string& json_path);

}  // namespace pelk::cli
