// pelk heatmap, pelk cluster and pelk motion: review aids on one frame.
#include <cstdio>
#include <iostream>

#include <opencv2/imgcodecs.hpp>

#include "commands.hpp"
#include "pelk_utils/analytics/clustering.hpp"
#include "pelk_utils/analytics/heatmap.hpp"
#include "pelk_utils/analytics/motion.hpp"
#include "pelk_utils/annotation/polygon_masks.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/json_file.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/overlap.hpp"

namespace pelk::cli {

MaskDict read_annotation_masks(const std::string& json_path) {
  const nlohmann::json doc = read_json_file(json_path, "annotation file");
  if (!doc.is_object() || !doc.contains("image_path") || !doc["image_path"].is_string()) {
    throw std::invalid_argument("annotation file '" + json_path + "' has no \"image_path\" text");
  }
  const std::string image = doc["image_path"].get<std::string>();
  const cv::Mat frame = cv::imread(image, cv::IMREAD_COLOR);
  if (frame.empty()) throw std::runtime_error("cannot read image '" + image + "' named by '" + json_path + "'");
  const PolygonMasks pm = process_json_and_generate_masks(json_path, frame.rows, frame.cols);
  MaskDict masks;
  for (std::size_t i = 0; i < pm.masks.size(); ++i) masks.insert_or_assign("Box" + std::to_string(pm.boxkeys[i]), pm.masks[i]);
  return masks;
}

namespace {

struct FileOptions {
  std::string file, out;
  double eps = 100;
  int min_samples = 1;
  std::vector<std::string> frames;
};

void run_heatmap(const FileOptions& o) {
  const MaskDict masks = read_annotation_masks(o.file);
  const IntersectionsTable table = intersection_between_masks(masks, mask_areas(masks));
  write_image_file_atomically(o.out, render_keyed_intersection_heatmap(table));
  double worst = 0;
  for (double v : table.cells()) worst = std::max(worst, v);
  std::cout << counted(masks.size(), "mask") << ", largest overlap " << format_number(worst) << "%: " << o.out << "\n";
}

void run_cluster(const FileOptions& o) {
  const auto groups = cluster_masks_and_print(read_annotation_masks(o.file), o.eps, o.min_samples);
  for (const auto& [name, keys] : groups) {
    std::cout << name << ":";
    for (const std::string& k : keys) std::cout << " " << k;
    std::cout << "\n";
  }
}

void run_motion(const FileOptions& o) {
  const auto scores = compute_motion_score_in_polygon(o.frames, read_annotation_masks(o.file));
  for (const auto& [key, score] : scores) std::printf("%s %.3f\n", key.c_str(), score);
}

}  // namespace

void add_heatmap_command(CLI::App& app) {
  auto o = std::make_shared<FileOptions>();
  CLI::App* c = app.add_subcommand("heatmap", "Draw the intersection heat map of an annotation file's masks "
                                              "(cell: percent of the row mask covered by the column mask)");
  c->add_option("file", o->file, "Annotation file")->required()->check(CLI::ExistingFile);
  c->add_option("--out", o->out, "Picture to write (.png)")->required();
  c->callback([o] { run_heatmap(*o); });
}

void add_cluster_command(CLI::App& app) {
  auto o = std::make_shared<FileOptions>();
  CLI::App* c = app.add_subcommand("cluster", "Group an annotation file's animals by position (DBSCAN on mask centroids)");
  c->add_option("file", o->file, "Annotation file")->required()->check(CLI::ExistingFile);
  c->add_option("--eps", o->eps, "Neighbourhood radius in pixels")->capture_default_str()->check(positive_number());
  c->add_option("--min-samples", o->min_samples, "Points a core point's neighbourhood needs")->capture_default_str()->check(CLI::Range(1, 1000000));
  c->callback([o] { run_cluster(*o); });
}

void add_motion_command(CLI::App& app) {
  auto o = std::make_shared<FileOptions>();
  CLI::App* c = app.add_subcommand("motion", "Mean optical-flow magnitude inside each mask between two frames");
  c->add_option("frames", o->frames, "The earlier and the later frame")->required()->expected(2)->check(CLI::ExistingFile);
  c->add_option("--masks", o->file, "Annotation file with the masks")->required()->check(CLI::ExistingFile);
  c->callback([o] { run_motion(*o); });
}

}  // namespace pelk::cli
