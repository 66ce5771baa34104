// pelk match: carry identities from a tracked clip into the next clip.
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "commands.hpp"
#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/matching/matcher.hpp"

namespace pelk::cli {
namespace {

struct MatchOptions {
  std::string previous;
  std::string frames_dir;
  std::string out;
  int frame = 0;
  std::vector<std::string> remove;
  int min_area = 10, max_attempts = 10;
  ModelOptions models;
};

// The line printed by the library that says why nothing was carried.
std::optional<std::string> printed_line(const std::string& printed, const std::string& start) {
  const std::size_t at = printed.find(start);
  if (at == std::string::npos) return std::nullopt;
  return printed.substr(at, printed.find('\n', at) - at);
}

// Why the matcher carried nothing, in the files a person sees: the cause,
// not the first line the matcher printed on the way.
std::string match_failure(const std::string& printed, const MatchOptions& o, const std::string& frame) {
  if (const auto line = printed_line(printed, "No valid frame found")) {
    return "no usable frame in " + o.previous + " (" + line->substr(0, line->size() - 1) +
           "; every animal needs a mask of at least --min-area pixels and no two may overlap by half)";
  }
  std::string cause = "the masks of the carried boxes overlapped or were smaller than --min-area";
  if (const auto line = printed_line(printed, "the segmenter returned")) cause = *line;
  return "segmenting " + frame + " with the boxes of " + o.previous + " did not give one separate mask per animal (" +
         cause + "); try another --frame";
}

void run(const MatchOptions& o) {
  AnnotationData data;
  quietly([&] { data = whole_clip_data(o.previous); });
  if (!data.pelk_annotation_data) throw std::invalid_argument("no annotation files under '" + o.previous + "'");
  const std::vector<std::string> frames = frame_files(o.frames_dir);
  Models models = load_models(o.models);
  std::vector<std::optional<std::string>> remove(o.remove.begin(), o.remove.end());
  MatchResult r;
  const std::string printed = quietly([&] {
    r = matcher(*data.pelk_annotation_data, frames, o.frame, models.predictor.get(), remove, o.min_area, o.max_attempts);
  });
  const std::size_t k = static_cast<std::size_t>(o.frame < 0 ? o.frame + static_cast<int>(frames.size()) : o.frame);
  if (r.no_best_laste_frame) throw std::runtime_error("identities could not be carried over: " + match_failure(printed, o, frames[k]));
  // A carried mask must lie on an animal the detector finds in the new
  // frame: one that does not (an animal that left the view) is reported,
  // not carried.
  const cv::Mat bgr = cv::imread(frames[k], cv::IMREAD_COLOR);
  if (bgr.empty()) throw std::runtime_error("cannot read the frame image '" + frames[k] + "'");
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  std::vector<Box> detections;
  quietly([&] {
    const auto inputs = (*models.processor)(rgb, "pig.");
    inputs->to(o.models.device);
    const auto outputs = (*models.grounding)(*inputs);
    detections = models.processor->post_process_grounded_object_detection(*outputs, inputs->input_ids(), 0.25,
                                                                           {{rgb.rows, rgb.cols}})[0].boxes;
  });
  const std::vector<bool> on = masks_on_detections(*r.masks, detections);
  std::filesystem::create_directories(o.out);
  // Mask i answers the box of the i-th key of the frame the matcher chose,
  // whatever the number of animals and the order of their keys.
  const std::vector<std::string> keys = r.best_laste_frame->masks_dict.keys();
  std::vector<AnnotatedObject> objects;
  std::vector<std::string> not_carried;
  for (std::size_t i = 0; i < r.masks->size() && i < keys.size(); ++i) {
    if (!on[i]) {
      not_carried.push_back(keys[i]);
      continue;
    }
    objects.push_back({object_id_of_key(keys[i]), (*r.masks)[i]});
  }
  if (objects.empty() && !not_carried.empty()) {
    throw std::runtime_error("no carried mask lies on an animal the detector finds in " + frames[k] +
                             ": nothing carried; try another --frame");
  }
  write_annotation_file(annotation_path(o.out, k), frames[k], objects);
  for (const std::string& key : not_carried) {
    std::cout << key << ": its carried mask lies on no animal the detector finds in frame " << k
              << " (out of view there?): not carried\n";
  }
  std::cout << "carried " << counted(objects.size(), "identity", "identities")
            << (not_carried.empty() ? "" : " of " + std::to_string(objects.size() + not_carried.size()))
            << " from frame " << r.best_laste_frame->frame_index << " of " << o.previous << " into frame " << k << ": "
            << annotation_path(o.out, k) << "\n";
}

}  // namespace

void add_match_command(CLI::App& app) {
  auto o = std::make_shared<MatchOptions>();
  CLI::App* c = app.add_subcommand(
      "match", "Prompt the segmenter on a frame of the next clip with the boxes of the previous clip's last usable "
               "frame, and write that frame's annotation file with the carried identities");
  c->add_option("previous", o->previous, "Annotation folder of the tracked previous clip")->required()->check(CLI::ExistingDirectory);
  c->add_option("frames_dir", o->frames_dir, "Frame folder of the next clip")->required()->check(CLI::ExistingDirectory);
  c->add_option("--out", o->out, "Folder for the next clip's annotation file")->required();
  c->add_option("--frame", o->frame, "Frame of the next clip to segment")->capture_default_str();
  c->add_option("--remove", o->remove, "Box keys to drop (animals stacked on others), e.g. Box3");
  c->add_option("--min-area", o->min_area, "Smallest usable mask area")->capture_default_str();
  c->add_option("--max-attempts", o->max_attempts, "Frames tried back from the previous clip's end")->capture_default_str();
  add_model_options(*c, o->models, true);
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
