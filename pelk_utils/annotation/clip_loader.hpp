// Clip annotation loader: reads the annotation files a tracking run wrote
// for one clip back into per-frame records (masks, areas, intersections),
// the common currency of the quality reports and the cross-clip matching.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/core/intersections_table.hpp"
#include "pelk_utils/core/mask.hpp"

namespace pelk {

// One annotation file, loaded.
struct FrameRecord {
  std::int64_t frame_index = 0;     // number after the last "output_pp_" in the path
  MaskDict masks_dict;              // box key -> mask, in detection order
  AreaMap mask_areas;               // box key -> pixel count, same order
  std::string json_path;            // the file as found by the walk
  std::string image_path;           // the file's "image_path"
  std::optional<IntersectionsTable> intersections_df;  // whole-clip loads only
};

// Frame key (0-based position in the sorted file list) -> record.
using ClipAnnotationData = std::map<int, FrameRecord>;

struct AnnotationData {
  std::optional<FrameRecord> last_frame;
  std::optional<ClipAnnotationData> pelk_annotation_data;
};

// Folder walked for annotation files when the caller names none, relative
// to the working directory.
inline constexpr const char* kDefaultAnnotationDir = "pelk_output";

// Returns the annotation files under `base_dir`: directories top-down from
// `base_dir`, subfolders in plain character order, symbolic links to folders
// not followed, unreadable folders skipped; within a folder the names ending
// in ".json" whose stem ends in "_<digits>", stably sorted by that number.
// A missing folder gives an empty list. Throws std::runtime_error naming the
// path when such a name is not a regular file or a link to one (a dangling
// link, a FIFO, a device): the clip would silently lose that frame.
std::vector<std::string> list_annotation_files(const std::string& base_dir);

// Returns the frame number of an annotation file path: the text after the
// last "output_pp_", cut at its first ".", as an integer. Throws
// std::invalid_argument naming the path when there is none or it does not
// fit a signed 64-bit integer.
std::int64_t frame_index_of(const std::string& json_path);

// Loads the annotation files under `save_dir_base`, every mask at the size of
// the image named by the first file. ixx <= 0: every file, with
// intersections tables; last_frame is a copy of the last record (masks share
// pixel buffers). 0 < ixx < n: only the file at position ixx, without table;
// last_frame is a copy of that record. ixx >= n: no last frame and an empty
// mapping. No files: prints "No JSON files found in <dir>. Please check the
// directory and try again." and returns two nulls. `video_dir` is not used.
// With `last_or_not` every file of the clip is read and checked even when
// only one is selected, so a broken file anywhere raises; the returned values
// do not depend on it. Errors name the file and detection; nothing partial
// is returned.
AnnotationData get_pelk_annotation_data(const std::string& video_dir, bool last_or_not = false, int ixx = 0,
                                        const std::string& save_dir_base = kDefaultAnnotationDir);

// Loads every annotation file under `dir` as get_pelk_annotation_data does,
// but without intersections tables and without printing: for readers that
// need only the masks (tracks, exports, measures, behaviour). An empty
// result when there are no files. Errors as get_pelk_annotation_data; with
// `refuse_repeated_ids`, also an object id twice in one file (see
// load_whole_clip).
ClipAnnotationData load_clip_masks(const std::string& dir, bool refuse_repeated_ids = false);

// Loads the whole clip under `dir` (frame keys 0.., intersections tables) as
// get_pelk_annotation_data does, without printing, but an object id twice in
// one annotation file is an error naming the file, the id and both
// detections: the loader rules keep the later detection and one animal would
// vanish under the other's mask. The commands, the repair and the exchange
// formats load through it. An empty result when there are no files.
ClipAnnotationData load_whole_clip(const std::string& dir);

// load_whole_clip's clip in get_pelk_annotation_data's shape (no clip and no
// last frame when there are no files).
AnnotationData whole_clip_data(const std::string& dir);

namespace internal {

// Loads `files` as one clip (frame keys 0.. in file order, every mask at
// `size`, with intersections tables) on `threads` threads; results and
// errors do not depend on the thread count. get_pelk_annotation_data uses
// every core; benchmarks compare thread counts.
ClipAnnotationData load_clip_files(const std::vector<std::string>& files, cv::Size size, unsigned threads);

}  // namespace internal
}  // namespace pelk
