#include "cli_common.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <stdexcept>

#include <unistd.h>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"

namespace pelk::cli {
namespace fs = std::filesystem;

void add_model_options(CLI::App& command, ModelOptions& options, bool with_detector) {
  if (with_detector) {
    command.add_option("--detector", options.detector, "TorchScript detector file (default: the built-in detector)")
        ->check(CLI::ExistingFile);
  }
  command.add_option("--segmenter-encoder", options.segmenter_encoder,
                     "TorchScript segmenter encoder file (default: the built-in segmenter)")
      ->check(CLI::ExistingFile);
  command.add_option("--segmenter-decoder", options.segmenter_decoder, "TorchScript segmenter decoder file")
      ->check(CLI::ExistingFile);
  command.add_option("--device", options.device, "Device for TorchScript models: cpu, cuda or cuda:N")
      ->capture_default_str();
}

std::vector<std::string> frame_files(const std::string& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw std::invalid_argument("frame folder '" + dir + "' does not exist");
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (e.is_regular_file() && (ext == ".jpg" || ext == ".jpeg" || ext == ".png")) out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  if (out.empty()) throw std::invalid_argument("frame folder '" + dir + "' holds no .jpg or .png frames");
  return out;
}

std::string annotation_path(const std::string& dir, std::size_t n) {
  return (fs::path(dir) / ("output_pp_" + std::to_string(n) + ".json")).string();
}

namespace {

// Returns the object id (box number + 1) of a "Box<n>" key; the cleaning
// pass keys objects by int, so larger numbers are refused by name.
int object_id_of(const std::string& box, const FrameRecord& record) {
  const std::optional<std::int64_t> number = box_number_of_key(box);
  if (!number || *number < 0 || *number >= std::numeric_limits<int>::max()) {
    throw std::invalid_argument("box '" + box + "' of frame " + std::to_string(record.frame_index) + " (" +
                                record.image_path + "): the cleaning pass takes box numbers 0.." +
                                std::to_string(std::numeric_limits<int>::max() - 1));
  }
  return static_cast<int>(*number) + 1;
}

}  // namespace

TrackedFrames tracked_clip_of(const ClipAnnotationData& clip) {
  TrackedFrames out;
  for (const auto& [key, record] : clip) {
    OrderedMap<int, Mask> objects;
    for (const auto& [box, mask] : record.masks_dict) objects.insert_or_assign(object_id_of(box, record), mask);
    out.segments.insert_or_assign(key, std::move(objects));
    out.frame_names.push_back(record.image_path);
  }
  return out;
}

std::size_t write_tracked_clip(const TrackedClip& segments, const ClipAnnotationData& clip,
                               const std::function<std::string(const FrameRecord&)>& path_of) {
  std::size_t changed = 0;
  Progress progress("files", clip.size());
  for (const auto& [key, record] : clip) {
    std::vector<AnnotatedObject> objects;
    for (const auto& [id, mask] : segments.at(key)) {
      objects.push_back({id, mask});
      changed += !(mask == record.masks_dict.at("Box" + std::to_string(id - 1)));
    }
    const std::string path = path_of(record);
    fs::create_directories(fs::path(path).parent_path());
    write_annotation_file(path, record.image_path, objects);
    progress.step();
  }
  return changed;
}

std::string seconds_text(double seconds) {
  char buf[32];
  if (seconds < 1) {
    std::snprintf(buf, sizeof(buf), "%.0f ms", seconds * 1e3);
  } else {
    std::snprintf(buf, sizeof(buf), "%.1f s", seconds);
  }
  return buf;
}

}  // namespace pelk::cli
