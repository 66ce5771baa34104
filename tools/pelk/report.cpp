// pelk report: the tracking report of one or more clips.
#include <filesystem>
#include <iostream>
#include <map>

#include "commands.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "model_steps.hpp"
#include "pelk_utils/quality/frame_runs.hpp"
#include "pelk_utils/quality/tracking_report.hpp"

namespace pelk::cli {
namespace {

struct ReportOptions {
  std::vector<std::string> clips;
  std::string out;
  double threshold = 80;
  bool resolve = false;
  int consecutive = 2;
  std::string shard;
  ModelOptions models;
};

void report_clip(const std::string& clip, const ReportOptions& o, Models* models) {
  AnnotationData data;
  quietly([&] { data = whole_clip_data(clip); });
  if (!data.pelk_annotation_data) throw std::invalid_argument("no annotation files (output_pp_<n>.json) under '" + clip + "'");
  const std::string out = o.out.empty() ? clip : (std::filesystem::path(o.out) / std::filesystem::path(clip).filename()).string();
  std::filesystem::create_directories(out);
  TrackingReport report;
  const std::string printed = quietly([&] { report = generate_tracking_report(*data.pelk_annotation_data, out, o.threshold); });
  std::map<std::string, int> vanished;
  for (const ReportRow& r : report.zero_area_frames) ++vanished[r.box_id.value_or("?")];
  std::cout << clip << ": " << counted(data.pelk_annotation_data->size(), "frame") << ", "
            << counted(report.overlap_frames.size(), "frame") << " with overlapping masks ("
            << counted(report.overlap_frames_data.size(), "pair") << " above " << o.threshold << "%), "
            << counted(report.zero_area_frames.size(), "vanished mask") << "\n";
  for (const auto& [box, count] : vanished) std::cout << "  " << box << " vanished in " << counted(static_cast<std::size_t>(count), "frame") << "\n";
  const FrameRuns runs = find_continuous_frames(report.overlap_frames_data, "Box Pair", 3);
  for (const auto& [pair, pair_runs] : runs) {
    for (const auto& run : pair_runs) {
      std::cout << "  " << std::get<std::string>(pair) << " overlap in frames " << run.front() << ".." << run.back() << "\n";
    }
  }
  if (printed.find("saved to") != std::string::npos) {
    std::cout << "  report: " << (std::filesystem::path(out) / kReportFileName).string() << "\n";
  }
  if (!o.resolve || report.overlap_frames_data.empty()) return;
  const OverlapResolution r = resolve_overlaps(report.overlap_frames_data, *data.pelk_annotation_data, *models, o.consecutive);
  if (r.most_frequent_box) {
    std::cout << "  overlap episode from frame " << *r.test_frame << ": " << *r.most_frequent_box
              << " most likely carries the identity error (" << counted(r.worst_boxes.size(), "frame") << " voted)\n";
  } else {
    std::cout << "  no overlap episode could be resolved\n";
  }
}

void run(const ReportOptions& o) {
  const Shard shard = resolve_shard(o.shard);
  std::optional<Models> models;
  if (o.resolve) models = load_models(o.models);
  Progress progress("clips", o.clips.size());
  for (std::size_t i = 0; i < o.clips.size(); ++i) {
    if (shard.owns(i)) report_clip(o.clips[i], o, models ? &*models : nullptr);
    progress.step();
  }
}

}  // namespace

void add_report_command(CLI::App& app) {
  auto o = std::make_shared<ReportOptions>();
  CLI::App* c = app.add_subcommand(
      "report", "Load each clip's annotation files, write tracking_question_report.csv (vanished masks, masks lying on "
                "each other) and print a summary; --resolve also names the box most likely carrying an identity error");
  c->add_option("clips", o->clips, "Folders of annotation files, one per clip")->required()->check(CLI::ExistingDirectory);
  c->add_option("--out", o->out, "Write reports under this folder (default: into each clip folder)");
  c->add_option("--threshold", o->threshold, "Overlap percentage above which a pair is reported")->capture_default_str();
  c->add_flag("--resolve", o->resolve, "Run the overlap resolution on the reported overlaps");
  c->add_option("--consecutive", o->consecutive, "Shortest overlap run the resolution considers")->capture_default_str();
  c->add_option("--shard", o->shard, "Process shard K of N of the clips (K/N); default from SLURM_ARRAY_TASK_ID/COUNT")->check(shard_validator());
  add_model_options(*c, o->models, false);
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
