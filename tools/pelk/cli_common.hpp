// The shared layer of the `pelk` command line: progress bars, shards for job
// arrays (shard.hpp), model choice, quiet library calls, and reading a clip's frames.
// No processing logic lives here; subcommands call the library and print.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/models/detection_model.hpp"
#include "pelk_utils/models/image_predictor.hpp"
#include "pelk_utils/refine/mask_refinement.hpp"
#include "shard.hpp"

namespace pelk::cli {

// A progress bar on standard error with count, rate and time left. Draws
// only when standard error is a terminal, so logs and pipes stay clean.
class Progress {
 public:
  Progress(std::string what, std::size_t total);
  ~Progress();
  // Counts one more item done.
  void step();

 private:
  void draw(bool last);
  std::string what_;
  std::size_t total_, done_ = 0;
  bool enabled_;
  std::chrono::steady_clock::time_point start_, last_draw_;
};

// The models a subcommand uses: the built-in ones unless TorchScript files
// are named.
struct ModelOptions {
  std::string detector;           // TorchScript detector file
  std::string segmenter_encoder;  // TorchScript segmenter encoder file
  std::string segmenter_decoder;  // TorchScript segmenter decoder file
  std::string device = "cpu";
};

// Adds --detector, --segmenter-encoder, --segmenter-decoder and --device.
void add_model_options(CLI::App& command, ModelOptions& options, bool with_detector);

struct Models {
  std::unique_ptr<DetectionProcessor> processor_owner;
  DetectionProcessor* processor = nullptr;
  GroundingModel* grounding = nullptr;
  std::unique_ptr<ImagePredictor> predictor;
};

// Loads the models named by `options` (built-in where none is named).
Models load_models(const ModelOptions& options);

// Runs `call` with std::cout captured and returns what it printed.
std::string quietly(const std::function<void()>& call);

// Returns the .jpg/.jpeg/.png files of `dir` in name order. Throws
// std::invalid_argument naming the folder when it holds none.
std::vector<std::string> frame_files(const std::string& dir);

// Returns "output_pp_<n>.json" inside `dir`.
std::string annotation_path(const std::string& dir, std::size_t n);

// A loaded clip as the cleaning pass takes it: frame key -> object id (box
// number + 1) -> mask, and the frames' image paths by frame key.
struct TrackedFrames {
  TrackedClip segments;
  std::vector<std::string> frame_names;
};
TrackedFrames tracked_clip_of(const ClipAnnotationData& clip);

// Writes every frame of `segments` as an annotation file at path_of(record)
// and returns how many masks differ from those of `clip`.
std::size_t write_tracked_clip(const TrackedClip& segments, const ClipAnnotationData& clip,
                               const std::function<std::string(const FrameRecord&)>& path_of);

// Formats seconds as "1.2 s" or "85 ms".
std::string seconds_text(double seconds);

}  // namespace pelk::cli
