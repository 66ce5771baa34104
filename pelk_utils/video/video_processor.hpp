// Frame preparation: cuts camera recordings into minute ranges of cropped,
// optionally resized JPEG frames. The crop is placed relative to an orange
// marker in the 2560 x 1440 view (the part left of it, or from it
// rightwards) and remembered per camera.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include "pelk_utils/core/number.hpp"
#include "pelk_utils/video/catalogue.hpp"

namespace pelk {

namespace internal {
class VideoReader;
}

// A crop in frame pixels: rows y1..y2 and columns x1..x2, ends exclusive.
// Negative bounds count from the opposite edge; bounds beyond the frame are
// cut back to its edge.
struct CropRect {
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  friend bool operator==(const CropRect&, const CropRect&) = default;
};

// Returns the crop for a detected marker box under the left/right rule:
// left of the marker (120 or, for a marker reaching x >= 2300, 380, up to
// 45 px before it) or from 50 px before it to 2300 (or 2560); std::nullopt
// returns the detected box unchanged.
CropRect adjust_crop(const CropRect& detected, const std::optional<bool>& left_crop);

// Whether a range read every frame its bounds ask for (or up to the video's
// real end), and why not.
struct RangeOutcome {
  bool complete = false;
  std::string reason;
};

// What a batch extraction did: ranges written, ranges left for a rerun, and
// recordings that could not be opened (nothing of them is written).
struct ExtractionSummary {
  int ranges_written = 0;
  int ranges_unfinished = 0;
  int recordings_unopened = 0;
  bool complete() const { return ranges_unfinished == 0 && recordings_unopened == 0; }
};

// Root of the batch extraction's output tree when the caller names none,
// relative to the working directory.
inline constexpr const char* kDefaultFramesDir = "pelk_frames";

struct VideoProcessor {
  std::optional<std::pair<int, int>> resize_dim;  // (width, height); only the height is used
  int frame_skip = 1;                             // save counters that are multiples of this
  Number time_step = 0.1;                         // minutes per range in the batch
  std::string output_dir_base = kDefaultFramesDir;
  std::map<std::optional<std::string>, CropRect> camera_crop_coords;  // camera -> crop in use
  bool crop = true;                                // crop in the batch
  std::optional<bool> left_crop = false;           // left of the marker; std::nullopt keeps the detected box
  // Guards camera_crop_coords while a cut reads or fills it, so that one
  // processor can serve a pool of threads (a camera's crop is detected once,
  // as in serial cutting). Copies of a processor share it.
  std::shared_ptr<std::mutex> crop_cache_lock = std::make_shared<std::mutex>();

  // Returns the video's duration in minutes after printing its frame rate,
  // frame count and duration; prints "Error: Could not open video <path>"
  // and returns 0 when it cannot be opened. Throws std::runtime_error naming
  // the video when its frame rate is not positive.
  double get_video_duration(const std::string& video_path);

  // Returns the bounding box (x2, y2 exclusive) of the orange blob (HSV
  // 10..25, 150..255, 150..255 inclusive) that, of the two largest, lies
  // furthest right; std::nullopt when there is none. `frame` is CV_8UC3 BGR.
  std::optional<CropRect> find_orange_region(const cv::Mat& frame);

  // Writes the frames of minutes [start_min, end_min) of `video_path` into
  // `output_dir` (created) as 0000.jpg, 0001.jpg, ..., cropped with the
  // camera's rectangle (detected on the range's first frame, which is not
  // saved, and cached) and resized to `resize_dim`'s height. Prints one line
  // per saved frame and a closing summary. Start and end frames (fps * 60 *
  // minutes) are rounded to whole frames, so fractional minutes lose no
  // frame and consecutive ranges tile the video; whole-number minutes are
  // unchanged. Each image is written under a temporary name and renamed, so
  // a killed run leaves no truncated JPEG. Throws std::runtime_error naming
  // the video when its frame rate is not positive or a frame cannot be
  // written (with the system's reason), and std::invalid_argument when the
  // crop is empty, frame_skip is 0, a minute bound gives no usable frame
  // number, or resize_dim would make an absurd width.
  void crop_video_to_frames(const std::string& video_path, const std::string& output_dir, Number start_min = 10,
                            Number end_min = 12, const std::optional<std::string>& camera_number = std::nullopt,
                            bool crop = true);

  // Cuts every recording of `df` into ranges of `time_step` minutes, one
  // folder each (output_dir_base/Date/Video Name/<start>min_to_<end>min/
  // left_cropped_frames or right_cropped_frames). A range is written into a
  // temporary sibling folder and renamed only when it read every frame its
  // bounds ask for (or reached the video's real end); a range cut short (a
  // truncated or still-copying file, no orange region) prints "Leaving <dir>
  // unfinished: <reason>; a rerun will try it again." and the batch goes
  // on. Finished ranges print "Skipping". Throws std::invalid_argument when
  // time_step is not positive or shorter than one frame interval of a video,
  // std::runtime_error naming the folder when one cannot be created. Each
  // recording is opened once and decoded from start to end in one pass: a
  // range that starts where the last one ended goes on from the decoded
  // frame, and the reader seeks only to a range that starts elsewhere (after
  // skipped ranges); the frames saved are the same as range by range. The
  // last range of a recording runs to its real last frame, also when the
  // frame rate is not a whole number (ranges are cut at whole-rate frame
  // numbers, which end before the recording does). Returns what was done,
  // so that a caller can tell a batch with failures from a finished one.
  // A range left by an earlier run when the recording was shorter (cut while
  // it was still being copied: it ended where the recording did then, and
  // this run plans a longer range from the same start) is removed and cut
  // again, so that no two ranges hold the same frames.
  ExtractionSummary process_videos_to_frames(const CatalogueTable& df);

  // Decides the crop of every camera of `catalogue` that has none yet, from
  // the first frame of its first recording in catalogue order that shows the
  // marker. A run that cuts only some recordings (a shard of a job array, a
  // rerun that skips finished ranges) passes the whole catalogue first, so
  // that its crops equal those of one run over everything. Cameras whose
  // recordings never show the marker on their first frame are left to the
  // batch's own detection.
  void decide_camera_crops(const CatalogueTable& catalogue);

 private:
  RangeOutcome crop_range(internal::VideoReader& video, const std::string& video_path, const std::string& write_dir,
                          const std::string& shown_dir, Number start_min, Number end_min,
                          const std::optional<std::string>& camera_number, bool crop, bool to_end = false);
  bool has_crop(const std::optional<std::string>& camera_number) const;
  double duration_of(const internal::VideoReader& video, const std::string& video_path);
  void check_time_step(const internal::VideoReader& video, const std::string& video_path) const;
  std::optional<CropRect> crop_for(const cv::Mat& first_frame, const std::optional<std::string>& camera_number);
  void remove_ranges_of_a_shorter_recording(const CatalogueRow& row, double total_min, const char* leaf) const;
};

}  // namespace pelk
