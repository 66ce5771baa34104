// What an annotation folder imported from boxes (a MOT file, CVAT boxes)
// was: the boxes as the file gave them, kept beside the rectangles the
// annotation files hold, so that measuring the folder measures those boxes
// by box IoU, as measuring the file itself does. Other tools ignore it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/quality/track_set.hpp"

namespace pelk {

// The record's file name inside the imported folder.
inline constexpr const char* kImportedBoxesFile = "pelk_imported_boxes.json";

struct ImportedBox {
  std::int64_t object_id = 0;
  ContinuousBox box{};
};

// One annotation file the import wrote: its frame number, the boxes it was
// written from and its bytes (so that an edit since is seen).
struct ImportedBoxesFile {
  std::int64_t frame = 0;
  std::string file_name, text;
  std::vector<ImportedBox> boxes;
};

// Writes the record into `dir` (replaced whole), `source` and `kind` naming
// the file the boxes came from.
void write_imported_boxes(const std::string& dir, const std::string& source, const std::string& kind,
                          const std::vector<ImportedBoxesFile>& files);

// Returns the folder's boxes as tracks (frames by file number, keys by box
// key, no masks) when `dir` holds a record whose every annotation file is
// still as the import wrote it, with a note saying so; with a note that the
// masks are measured instead when files changed since; std::nullopt when
// there is no record. Throws std::invalid_argument naming the record when
// it is damaged.
std::optional<TrackSet> read_imported_boxes(const std::string& dir, std::vector<std::string>& notes);

}  // namespace pelk
