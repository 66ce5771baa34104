// pelk init and pelk track: start a clip on a frame folder and follow it.
#include <filesystem>
#include <iostream>

#include <opencv2/imgcodecs.hpp>

#include "commands.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/detect/box_tracker.hpp"
#include "pelk_utils/detect/initializer.hpp"
#include "pelk_utils/detect/pen.hpp"

namespace pelk::cli {
namespace fs = std::filesystem;
namespace {

struct StartOptions {
  std::string frames_dir;
  std::string out;
  std::string pen;
  int start = 0, step = 10, animals = 10;
  double threshold = 0.25;
  ModelOptions models;
};

void add_start_options(CLI::App& c, StartOptions& o) {
  c.add_option("frames_dir", o.frames_dir, "Folder of the clip's frames (.jpg/.png, in name order)")
      ->required()
      ->check(CLI::ExistingDirectory);
  c.add_option("--out", o.out, "Folder for the annotation files")->required();
  c.add_option("--pen", o.pen, "Pen-polygon file (default: the camera's file under pen_polygons/)");
  c.add_option("--start", o.start, "First frame tried")->capture_default_str();
  c.add_option("--step", o.step, "Frames between tries")->capture_default_str();
  c.add_option("--threshold", o.threshold, "Text threshold of the detector")->capture_default_str();
  c.add_option("--animals", o.animals, "Animals expected in the pen")->capture_default_str();
  add_model_options(c, o.models, true);
}

struct Started {
  std::vector<std::string> frames;
  InitializedClip clip;
};

// Throws std::runtime_error saying what the frames showed when none could
// start the clip.
Started start_clip(const StartOptions& o, Models& models) {
  Started s;
  s.frames = frame_files(o.frames_dir);
  std::optional<std::string> pen = o.pen.empty() ? std::nullopt : std::optional<std::string>(o.pen);
  if (!pen) pen = get_pen_json_path(o.frames_dir);
  if (!pen) {
    throw std::invalid_argument("no pen polygon file for '" + o.frames_dir +
                                "': pass --pen pen.json (without it, a path naming camera 61, 62, 64, 65, 66 or 70 "
                                "takes pen_polygons/Cam<N>.json)");
  }
  std::optional<InitializedClip> clip;
  // The initializer's own lines (frame by frame, scores) are for the
  // library's callers; the command says what came of them.
  const std::string printed = quietly([&] {
    clip = initializer(o.frames_dir, s.frames, *models.processor, *models.grounding, o.models.device, *models.predictor,
                       o.start, o.step, o.threshold, o.animals, pen);
  });
  if (!clip) {
    const auto count = [&](const std::string& what) {
      std::size_t n = 0;
      for (std::size_t at = printed.find(what); at != std::string::npos; at = printed.find(what, at + 1)) ++n;
      return n;
    };
    throw std::runtime_error("no frame of '" + o.frames_dir + "' showed exactly " + std::to_string(o.animals) +
                             " animals (" + std::to_string(count("too many bbx")) + " frames with more, " +
                             std::to_string(count("too few bbx")) + " with fewer, " + std::to_string(count("No boxes found")) +
                             " with none; --animals, --threshold and --pen decide what counts)");
  }
  s.clip = *clip;
  return s;
}

void run_init(const StartOptions& o) {
  Models models = load_models(o.models);
  const auto started = start_clip(o, models);
  fs::create_directories(o.out);
  std::vector<AnnotatedObject> objects;
  for (std::size_t i = 0; i < started.clip.masks.size(); ++i) objects.push_back({static_cast<std::int64_t>(i) + 1, started.clip.masks[i]});
  const std::size_t k = static_cast<std::size_t>(started.clip.ann_frame_idx);
  write_annotation_file(annotation_path(o.out, k), started.frames[k], objects);
  const std::string picture = (fs::path(o.out) / "initial_frame.png").string();
  write_image_file_atomically(picture, started.clip.annotated_frame);
  std::cout << "started on frame " << k << " with " << counted(objects.size(), "animal") << ": " << annotation_path(o.out, k)
            << ", " << picture << "\n";
}

void run_track(const StartOptions& o) {
  Models models = load_models(o.models);
  const auto started = start_clip(o, models);
  const std::size_t written = track_and_write(started.frames, static_cast<std::size_t>(started.clip.ann_frame_idx),
                                              started.clip.masks, models, o.out);
  std::cout << "tracked " << counted(started.clip.masks.size(), "animal") << " over " << counted(written, "frame") << " into " << o.out << "\n";
}

}  // namespace

std::size_t track_and_write(const std::vector<std::string>& frames, std::size_t first, std::vector<Mask> initial,
                            Models& models, const std::string& out_dir) {
  fs::create_directories(out_dir);
  BoxPropagationTracker tracker(*models.predictor, initial, models.processor, models.grounding);
  Progress progress("frames", frames.size() - first);
  for (std::size_t k = first; k < frames.size(); ++k) {
    std::vector<Mask> masks = initial;
    if (k > first) {
      const cv::Mat image = cv::imread(frames[k], cv::IMREAD_COLOR);
      if (image.empty()) throw std::runtime_error("cannot read frame '" + frames[k] + "'");
      masks = tracker.track(image);
    }
    std::vector<AnnotatedObject> objects;
    for (std::size_t i = 0; i < masks.size(); ++i) objects.push_back({static_cast<std::int64_t>(i) + 1, masks[i]});
    write_annotation_file(annotation_path(out_dir, k), frames[k], objects);
    progress.step();
  }
  return frames.size() - first;
}

void add_init_command(CLI::App& app) {
  auto o = std::make_shared<StartOptions>();
  CLI::App* c = app.add_subcommand("init", "Find the first frame of a clip showing every animal apart, segment them and "
                                           "write its annotation file (output_pp_<frame>.json) and initial_frame.png");
  add_start_options(*c, *o);
  c->callback([o] { run_init(*o); });
}

void add_track_command(CLI::App& app) {
  auto o = std::make_shared<StartOptions>();
  CLI::App* c = app.add_subcommand(
      "track", "Start a clip as `init` does, then follow every animal through the frames (each frame segmented with "
               "the previous boxes; lost animals re-found by detection) and write one annotation file per frame");
  add_start_options(*c, *o);
  c->callback([o] { run_track(*o); });
}

}  // namespace pelk::cli
