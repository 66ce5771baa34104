// A recording's clips in the order given, frame by frame, one clip in
// memory at a time: the common road of the tracks table and the exchange
// formats. It checks that the clips follow each other, gives frames their
// time where it can be known, and says in lines what it assumed.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/tracks/frame_time.hpp"

namespace pelk {

// Where frame times come from.
struct FrameTimeSource {
  std::optional<double> fps;                      // every recording's rate, as given (--fps)
  std::map<std::string, double> recording_rates;  // video name -> rate read from the recording at hand
  // A variable-rate recording's frames keep their own time stamps: video
  // name -> recording file, read by `read_frame_times` on first use (it
  // returns std::nullopt for a constant-rate recording, whose rate is exact).
  std::map<std::string, std::string> recording_files;
  std::function<std::optional<std::vector<double>>(const std::string& path)> read_frame_times;
};

// One frame of one clip, as stream_clips hands it over.
struct StreamFrame {
  std::size_t clip_index = 0;
  const std::string* clip = nullptr;  // the clip folder as given
  int frame_key = 0;                 // position in the clip (the clip data's key)
  std::int64_t frame_number = 0;     // the annotation file's own number (output_pp_<n>.json)
  const FrameRecord* record = nullptr;
  cv::Size size;                                 // frame size
  std::optional<FrameTime> time;                 // camera clock, when known
  const std::vector<std::string>* identities = nullptr;  // the clip's keys, in order of first appearance
  const ClipAnnotationData* clip_data = nullptr;         // the whole clip (loaded while its frames stream)
};

// Calls `frame` for every frame of `clips` (annotation folders, in order),
// loading one clip at a time. Returns lines that say what was assumed (how
// times were found, identities that differ from the previous clip's).
// Throws std::invalid_argument naming both folders when a clip's frames lie
// before the previous clip's in the same recording or in an earlier one
// (clips given in the wrong order), naming a folder given twice, and naming
// the folder when it holds no annotation files.
std::vector<std::string> stream_clips(const std::vector<std::string>& clips, const FrameTimeSource& times,
                                      const std::function<void(const StreamFrame&)>& frame);

// Returns a line on whose identities `clips` (more than one) are read
// under: the day's when `pelk chain` relabelled any of them, else each
// clip's keys as they are; std::nullopt for a single clip.
std::optional<std::string> identities_note(const std::vector<std::string>& clips);

// Throws std::invalid_argument when `output` lies inside one of `clips`
// (writing there would add a file to the clip).
void refuse_output_inside_clips(const std::string& output, const std::vector<std::string>& clips);

}  // namespace pelk
