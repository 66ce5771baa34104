// pelk render and pelk fix-polygons: the single-file annotation tools.
#include <filesystem>
#include <iostream>
#include <sstream>

#include "commands.hpp"
#include "pelk_utils/annotation/render.hpp"

namespace pelk::cli {
namespace {

struct RenderOptions {
  std::string file, out;
  bool boxes = false;
  std::string ids;  // comma-separated Box keys or the file's object ids
};

struct FixOptions {
  std::vector<std::string> files;
  std::string out_dir;
};

}  // namespace

int object_id_of(const std::string& given) {
  // "Box2" is the box key users see everywhere; the file stores object id 3.
  const bool key = given.rfind("Box", 0) == 0;
  const std::string digits = key ? given.substr(3) : given;
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
    throw CLI::ValidationError("--ids", "'" + given + "' is neither a box key (Box0, Box1, ...) nor an object id (1, 2, ...)");
  }
  const int number = std::stoi(digits);
  if (!key && number < 1) throw CLI::ValidationError("--ids", "object ids start at 1 (Box0 is object id 1)");
  return key ? number + 1 : number;
}

namespace {

void run_render(const RenderOptions& o) {
  std::optional<std::vector<int>> ids;
  if (!o.ids.empty()) {
    ids.emplace();
    std::stringstream list(o.ids);
    for (std::string given; std::getline(list, given, ',');) ids->push_back(object_id_of(given));
  }
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
  c->add_flag("--boxes", o->boxes, "Also draw each object's box and its label (the picture's label reads 'Box 0' "
                                    "for Box0)");
  c->add_option("--ids", o->ids, "Draw only these animals: box keys (Box0,Box2) or the file's object ids (1,3; "
                                 "object id = box number + 1)");
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
