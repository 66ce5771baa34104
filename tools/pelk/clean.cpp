// pelk clean: the segment cleaning pass over a clip's annotation files.
#include <filesystem>
#include <iostream>

#include "commands.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "pelk_utils/refine/mask_refinement.hpp"

namespace pelk::cli {
namespace fs = std::filesystem;
namespace {

struct CleanOptions {
  std::string clip;
  std::string pen;
  std::string out;
};

// Throws std::invalid_argument, before anything is written, when the pen
// polygon covers no pixel of the clip's frames: cleaning would empty every
// mask.
void check_pen_overlaps_frames(const TrackedFrames& frames, const std::string& pen) {
  for (const auto& [frame_idx, objects] : frames.segments) {
    for (const auto& [object_id, mask] : objects) {
      const cv::Size size = mask.size();
      if (size.area() <= 0) continue;
      const Mask whole(size, cv::Rect({0, 0}, size), cv::Mat1b(size, uchar{1}));
      if (get_in_pen_mask(frame_idx, whole, pen, frames.frame_names).empty()) {
        throw std::invalid_argument("the pen polygon of '" + pen + "' lies wholly outside the " + std::to_string(size.width) +
                                    " x " + std::to_string(size.height) + " frames of the clip: cleaning would empty every mask; nothing written");
      }
      return;
    }
  }
}

// Returns how many masks hold pixels in `before` and none in `after`.
std::size_t emptied_masks(const TrackedClip& before, const TrackedClip& after) {
  std::size_t emptied = 0;
  for (const auto& [frame_idx, objects] : before) {
    for (const auto& [object_id, mask] : objects) {
      if (!mask.empty() && after.at(frame_idx).at(object_id).empty()) ++emptied;
    }
  }
  return emptied;
}

void run(const CleanOptions& o) {
  AnnotationData data;
  quietly([&] { data = whole_clip_data(o.clip); });
  if (!data.pelk_annotation_data) throw std::invalid_argument("no annotation files under '" + o.clip + "'");
  const ClipAnnotationData& clip = *data.pelk_annotation_data;
  TrackedFrames frames = tracked_clip_of(clip);
  check_pen_overlaps_frames(frames, o.pen);
  const TrackedClip before = frames.segments;
  Mask_Refinement refine(0.3, {0.5, 1.5}, 200, o.pen);
  quietly([&] { refine.process_video_segments(frames.segments, o.clip, frames.frame_names); });
  const std::string out = o.out.empty() ? o.clip : o.out;
  const std::size_t changed = write_tracked_clip(frames.segments, clip, [&](const FrameRecord& record) {
    return o.out.empty() ? record.json_path : (fs::path(out) / fs::path(record.json_path).filename()).string();
  });
  std::cout << "cleaned " << counted(clip.size(), "frame") << " of " << o.clip << ": " << counted(changed, "mask")
            << " changed, " << emptied_masks(before, frames.segments) << " emptied; written to " << out << "\n";
}

}  // namespace

void add_clean_command(CLI::App& app) {
  auto o = std::make_shared<CleanOptions>();
  CLI::App* c = app.add_subcommand(
      "clean", "Clip every mask of a clip to the pen and reduce it to the animal's main blob and the blobs that belong "
               "with it; the annotation files are rewritten (atomically) in place or into --out");
  c->add_option("clip", o->clip, "Annotation folder of the clip")->required()->check(CLI::ExistingDirectory);
  c->add_option("--pen", o->pen, "Pen-polygon file")->required()->check(CLI::ExistingFile);
  c->add_option("--out", o->out, "Write the cleaned files here instead of in place");
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
