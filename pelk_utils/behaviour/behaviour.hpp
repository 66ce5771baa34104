// Behaviour from tracks: how far each animal walks, how long it is active
// or still, visible or missing, how large it is (top-view area follows body
// weight), how long it spends in each zone, and which pen mates it touches,
// per time bin over a recording's clips in order, streamed clip by clip.
// Gaps in an identity's track are never bridged silently: no distance is
// counted across a gap longer than a few frames, and missing time is
// counted as missing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pelk_utils/behaviour/zones.hpp"
#include "pelk_utils/tracks/clip_stream.hpp"

namespace pelk {

// Frames per second assumed when no frame has a time: the activity
// threshold (body lengths per second) is taken at it.
inline constexpr double kAssumedFrameRate = 10;

struct BehaviourOptions {
  FrameTimeSource times;            // frame times (a recording's rate, or --fps)
  std::vector<Zone> zones;
  // Bin length: seconds of camera clock when frames have times (bins start
  // at whole multiples since midnight, so shards line up), else frames.
  double bin_seconds = 600;
  // (without frame times, bins are bin_frames long; a caller that was given
  // a time sets bin_frames = its seconds x kAssumedFrameRate and says so)
  std::int64_t bin_frames = 6000;   // used when no frame has a time
  // The jitter filter: the path's point moves only when the centroid leaves
  // a disc of this radius around it; a still animal's mask noise adds nothing.
  double jitter_px = 3;
  // Active: centroid speed over `speed_window_s` above this many body
  // lengths (the mask's long axis) per second; still below. Frames without
  // a full window behind them (a track's first second, after a gap) are
  // neither.
  double active_body_lengths = 0.1;
  double speed_window_s = 1;
  // The shortest bout of a marginal call: a run of frames called against
  // the animal's settled state with speeds within `activity_band` of the
  // threshold (a share of it) becomes its new state only when it lasts this
  // long, a shorter one takes the state around it (mask noise on an animal
  // walking at about the threshold would otherwise flip it frame by frame);
  // a frame beyond the band is a clear call, taken at once. A run cut short
  // by the track's end keeps its own call.
  double min_activity_bout_s = 0.5;
  double activity_band = 0.1;
  int max_gap_frames = 5;           // a longer gap is not bridged: no distance across it
  int contact_px = 2;               // masks this close touch (as the identity repair's contacts)
  std::optional<double> px_per_metre;  // adds metres (and square metres)
};

// One value of the tidy table: bins in order, then animals, then measures.
struct BehaviourValue {
  std::string bin_start, bin_end, animal, measure;
  double value = 0;
  std::string unit;
};

// Contact of one pair in one bin, or over the whole input (bin_start and
// bin_end "all"); `longest` is the longest bout, in a bin the longest
// stretch of contact inside it (a bout that crosses into the bin counts from
// the bin's start).
struct ContactValue {
  std::string bin_start, bin_end, animal_a, animal_b;
  std::int64_t bouts = 0;           // bouts that start in the bin
  double time = 0, longest = 0;     // in the time unit
};

// One animal over the whole input.
struct AnimalSummary {
  std::string animal;
  double visible = 0, missing = 0, distance_px = 0, mean_speed_px = 0, active = 0, still = 0, median_area_px = 0;
  std::vector<double> zone_time;  // per zone, in order
  std::int64_t contact_bouts = 0;
  double contact_time = 0;
  // With a scale: the same in metres (per time unit) and square metres.
  std::optional<double> distance_m, mean_speed_m, median_area_m2;
};

struct BehaviourResult {
  std::string time_unit;            // "s", or "frames" without times
  // Each animal's filtered path (summary order): the points where the path
  // moved, a NaN point where a gap broke it. For the paths plot.
  std::vector<std::vector<cv::Point2f>> paths;
  std::string first_image;          // the first frame's image, for the plot's background
  cv::Size frame_size;
  std::optional<double> px_per_metre;  // the scale, when one was given
  std::vector<std::string> zone_names;
  std::vector<BehaviourValue> values;
  std::vector<ContactValue> contacts;
  std::vector<AnimalSummary> summary;
  std::int64_t frames = 0;
  std::vector<std::string> notes;   // what was assumed
};

// Returns a bin length of "10m", "30s", "1h" (seconds) or "500f" (frames,
// returned negated); throws std::invalid_argument naming --bin otherwise.
double parse_bin_length(const std::string& text);

// Returns a pen's real size in metres (width, length) from "4x2.5"; throws
// std::invalid_argument naming --pen-size for anything else.
std::pair<double, double> parse_pen_size(const std::string& text);

// Returns the pixels per metre of the pen polygon in `pen_json` when the pen
// measures `size` metres: the square root of its area in pixels over its
// area in square metres, so the pen's turn in the image does not matter (a
// camera looking straight down; a tilted one foreshortens the far side).
// Errors as draw_pen and check_pen_area.
double px_per_metre_of_pen(const std::string& pen_json, std::pair<double, double> size);

// Throws std::invalid_argument naming the setting when an option is out of
// range (a bin of no length, a scale of 0 or NaN, a negative radius).
void check_behaviour_options(const BehaviourOptions& options);

// Measures `clips` (annotation folders, in recording order). Errors as
// stream_clips and check_behaviour_options, and std::invalid_argument when a
// bin is shorter than a frame.
BehaviourResult behaviour(const std::vector<std::string>& clips, const BehaviourOptions& options);

// Writes behaviour.csv (tidy), contacts.csv and summary.csv into `out_dir`
// (created), each replaced whole.
void write_behaviour_csvs(const BehaviourResult& result, const std::string& out_dir);

}  // namespace pelk
