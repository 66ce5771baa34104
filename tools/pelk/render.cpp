// pelk render and pelk fix-polygons: the single-file annotation tools.
#include <filesystem>
#include <iostream>

#include "commands.hpp"
#include "pelk_utils/annotation/render.hpp"

namespace pelk::cli {
namespace {

struct RenderOptions {
  std::string file, out;
  bool boxes = false;
  std::vector<int> ids;
};

struct FixOptions {
  std::vector<std::string> files;
  std::string out_dir;
};

void run_render(const RenderOptions& o) {
  const auto ids = o.ids.empty() ? std::nullopt : std::optional<std::vector<int>>(o.ids);
  const cv::Mat picture = retrieve_annotation(o.file, o.out, o.boxes, ids);
  std::cout << "drew " << o.file << " (" << picture.cols << " x " << picture.rows << ") to " << o.out << "\n";
}

void run_fix(const FixOptions& o) {
  if (!o.out_dir.empty()) std::filesystem::create_directories(o.out_dir);
  Progress progress("files", o.files.size());
  std::size_t failed = 0;
  for (const std::string& f : o.files) {
    const auto target = o.out_dir.empty() ? std::nullopt
                                          : std::optional<std::string>((std::filesystem::path(o.out_dir) /
                                                                        std::filesystem::path(f).filename()).string());
    const std::string printed = quietly([&] { fix_polygon_scaling(f, target); });
    if (!printed.empty()) {
      ++failed;
      std::cerr << f << ": " << printed;
    }
    progress.step();
  }
  std::cout << "repaired " << o.files.size() - failed << " of " << counted(o.files.size(), "file") << "\n";
  if (failed > 0) throw std::runtime_error(std::to_string(failed) + " files were left unrepaired (image unreadable)");
}

}  // namespace

void add_render_command(CLI::App& app) {
  auto o = std::make_shared<RenderOptions>();
  CLI::App* c = app.add_subcommand("render", "Draw an annotation file's polygons (and boxes with --boxes) over its frame");
  c->add_option("file", o->file, "Annotation file")->required()->check(CLI::ExistingFile);
  c->add_option("--out", o->out, "Picture to write (.png keeps transparency)")->required();
  c->add_flag("--boxes", o->boxes, "Also draw each object's box and a 'Box N' label");
  c->add_option("--ids", o->ids, "Draw only these object ids (from 1)")->delimiter(',');
  c->callback([o] { run_render(*o); });
}

void add_fix_polygons_command(CLI::App& app) {
  auto f = std::make_shared<FixOptions>();
  CLI::App* fix = app.add_subcommand(
      "fix-polygons", "Repair annotation files whose polygons were normalised with width and height swapped "
                      "(each file exactly once!); files are replaced atomically, or written to --out-dir");
  fix->add_option("files", f->files, "Annotation files")->required()->check(CLI::ExistingFile);
  fix->add_option("--out-dir", f->out_dir, "Write repaired copies here instead of replacing the files");
  fix->callback([f] { run_fix(*f); });
}

}  // namespace pelk::cli
