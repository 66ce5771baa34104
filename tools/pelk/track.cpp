// pelk init and pelk track: start a clip on a frame folder and follow it.
#include <algorithm>
#include <filesystem>
#include <iostream>

#include <opencv2/imgcodecs.hpp>

#include "commands.hpp"
#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/polygon_masks.hpp"
#include "pelk_utils/core/image_size.hpp"
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
  bool animals_given = false;
  std::string from;  // track: an annotation file of one of the frames to start from
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

// The animals of annotation file `path` (one of the clip's frames): their
// object ids and masks, and the frame's position among `frames`. With
// `animals`, ids 1..animals the file does not hold start lost (empty), so
// that an animal out of view there keeps its id and is looked for later.
struct StartFile {
  std::size_t position = 0;
  std::vector<std::int64_t> ids;
  std::vector<Mask> masks;
};

StartFile read_start_file(const std::string& path, const std::vector<std::string>& frames, int animals) {
  const nlohmann::json doc = read_annotation_json(path);
  const nlohmann::json& image = require_key(doc, "image_path", "'" + path + "'");
  if (!image.is_string()) throw std::invalid_argument("'" + path + "': \"image_path\" is not a string");
  std::error_code ec;
  const fs::path named = fs::weakly_canonical(fs::path(image.get<std::string>()), ec);
  StartFile out;
  const auto at = std::find_if(frames.begin(), frames.end(), [&](const std::string& f) {
    std::error_code fc;
    return fs::weakly_canonical(fs::path(f), fc) == named;
  });
  if (at == frames.end()) {
    throw std::invalid_argument("'" + path + "' is of image '" + image.get<std::string>() +
                                "', which is not one of the clip's frames: --from takes an annotation file of a frame "
                                "of FRAMES_DIR (as `pelk match` writes it)");
  }
  out.position = static_cast<std::size_t>(at - frames.begin());
  const std::optional<cv::Size> size = image_size_of(*at);
  if (!size) throw std::runtime_error("cannot read image '" + *at + "'");
  const PolygonMasks pm = process_json_and_generate_masks(path, size->height, size->width);
  BoxNumbersSeen seen("'" + path + "'");
  for (std::size_t i = 0; i < pm.boxkeys.size(); ++i) {
    seen.add(pm.boxkeys[i], i);
    if (pm.boxkeys[i] < 0) throw std::invalid_argument("'" + path + "', detection " + std::to_string(i) + ": no \"object_id\"");
    if (pm.masks[i].empty()) continue;  // out of view there: started lost below
    out.ids.push_back(pm.boxkeys[i] + 1);
    out.masks.push_back(pm.masks[i]);
  }
  for (std::int64_t id = 1; id <= animals; ++id) {
    if (std::find(out.ids.begin(), out.ids.end(), id) != out.ids.end()) continue;
    out.ids.push_back(id);
    out.masks.push_back(Mask(*size, cv::Rect(), cv::Mat1b()));
  }
  if (out.masks.empty()) throw std::invalid_argument("'" + path + "' holds no animal to follow");
  return out;
}

// Tracking from a frame whose identities are known (what `pelk match`
// carried in): no initializer; forward to the end and back to the start.
void run_track_from(const StartOptions& o) {
  const std::vector<std::string> frames = frame_files(o.frames_dir);
  const StartFile start = read_start_file(o.from, frames, o.animals_given ? o.animals : 0);
  Models models = load_models(o.models);
  const std::size_t written = track_from(frames, start.position, start.ids, start.masks, models, o.out, true);
  std::size_t seen = 0;
  for (const Mask& m : start.masks) seen += !m.empty();
  std::cout << "tracked " << counted(start.masks.size(), "animal") << " (" << seen << " in view on frame "
            << start.position << ", ids from " << o.from << ") over " << counted(written, "frame") << " into " << o.out
            << "\n";
}

void run_track(const StartOptions& o) {
  if (!o.from.empty()) return run_track_from(o);
  Models models = load_models(o.models);
  const auto started = start_clip(o, models);
  const std::size_t written = track_and_write(started.frames, static_cast<std::size_t>(started.clip.ann_frame_idx),
                                              started.clip.masks, models, o.out);
  std::cout << "tracked " << counted(started.clip.masks.size(), "animal") << " over " << counted(written, "frame") << " into " << o.out << "\n";
}

}  // namespace

namespace {

// Follows `start.masks` (object ids `start.ids`) from frame `first` to the
// clip's end (`backward`: to its first frame) and writes a file per frame
// after `first`; returns how many.
std::size_t follow_and_write(const std::vector<std::string>& frames, std::size_t first, const std::vector<std::int64_t>& ids,
                             const std::vector<Mask>& initial, Models& models, const std::string& out_dir, bool backward,
                             Progress& progress) {
  BoxPropagationTracker tracker(*models.predictor, initial, models.processor, models.grounding);
  std::size_t written = 0;
  const auto write = [&](std::size_t k, const std::vector<Mask>& masks) {
    std::vector<AnnotatedObject> objects;
    for (std::size_t i = 0; i < masks.size(); ++i) objects.push_back({ids[i], masks[i]});
    write_annotation_file(annotation_path(out_dir, k), frames[k], objects);
    progress.step();
    ++written;
  };
  std::vector<std::size_t> order;
  if (backward) {
    for (std::size_t k = first; k-- > 0;) order.push_back(k);
  } else {
    for (std::size_t k = first + 1; k < frames.size(); ++k) order.push_back(k);
  }
  for (const std::size_t k : order) {
    const cv::Mat image = cv::imread(frames[k], cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("cannot read frame '" + frames[k] + "'");
    write(k, tracker.track(image));
  }
  return written;
}

}  // namespace

std::size_t track_and_write(const std::vector<std::string>& frames, std::size_t first, std::vector<Mask> initial,
                            Models& models, const std::string& out_dir) {
  std::vector<std::int64_t> ids;
  for (std::size_t i = 0; i < initial.size(); ++i) ids.push_back(static_cast<std::int64_t>(i) + 1);
  return track_from(frames, first, ids, initial, models, out_dir, false);
}

std::size_t track_from(const std::vector<std::string>& frames, std::size_t first, const std::vector<std::int64_t>& ids,
                       const std::vector<Mask>& initial, Models& models, const std::string& out_dir, bool both_ways) {
  fs::create_directories(out_dir);
  Progress progress("frames", both_ways ? frames.size() : frames.size() - first);
  std::vector<AnnotatedObject> objects;
  for (std::size_t i = 0; i < initial.size(); ++i) objects.push_back({ids[i], initial[i]});
  write_annotation_file(annotation_path(out_dir, first), frames[first], objects);
  progress.step();
  std::size_t written = 1 + follow_and_write(frames, first, ids, initial, models, out_dir, false, progress);
  if (both_ways) written += follow_and_write(frames, first, ids, initial, models, out_dir, true, progress);
  return written;
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
  CLI::Option* from = c->add_option("--from", o->from, "Start from this annotation file of one of the frames (as `pelk match` "
                                                       "writes it) with its object ids: no initializer; followed to the "
                                                       "last frame and back to the first (with --animals, ids it lacks start lost)")
                          ->check(CLI::ExistingFile);
  for (const char* initializer_only : {"--start", "--step", "--threshold"}) c->get_option(initializer_only)->excludes(from);
  c->callback([o, c] {
    o->animals_given = c->get_option("--animals")->count() > 0;
    run_track(*o);
  });
}

}  // namespace pelk::cli
