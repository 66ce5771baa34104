// pelk clean: the segment cleaning pass over a clip's annotation files.
#include <filesystem>
#include <iostream>

#include "commands.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/refine/mask_refinement.hpp"

namespace pelk::cli {
namespace fs = std::filesystem;
namespace {

struct CleanOptions {
  std::string clip;
  std::string pen;
  std::string out;
};

void run(const CleanOptions& o) {
  AnnotationData data;
  quietly([&] { data = get_pelk_annotation_data("", false, 0, o.clip); });
  if (!data.pelk_annotation_data) throw std::invalid_argument("no annotation files under '" + o.clip + "'");
  const ClipAnnotationData& clip = *data.pelk_annotation_data;
  TrackedFrames frames = tracked_clip_of(clip);
  Mask_Refinement refine(0.3, {0.5, 1.5}, 200, o.pen);
  const std::string printed = quietly([&] { refine.process_video_segments(frames.segments, o.clip, frames.frame_names); });
  const std::string out = o.out.empty() ? o.clip : o.out;
  const std::size_t changed = write_tracked_clip(frames.segments, clip, [&](const FrameRecord& record) {
    return o.out.empty() ? record.json_path : (fs::path(out) / fs::path(record.json_path).filename()).string();
  });
  std::size_t dropped = 0;
  for (std::size_t at = printed.find("-- no mask"); at != std::string::npos; at = printed.find("-- no mask", at + 1)) ++dropped;
  std::cout << "cleaned " << counted(clip.size(), "frame") << " of " << o.clip << ": " << counted(changed, "mask")
            << " changed, " << dropped
            << " emptied; written to " << out << "\n";
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
