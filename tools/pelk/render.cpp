// pelk render and pelk fix-polygons: the single-file annotation tools.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <iostream>
#include <sstream>

#include "commands.hpp"
#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/internal/fingerprint.hpp"
#include "pelk_utils/annotation/render.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/json_file.hpp"
#include <nlohmann/json.hpp>

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
    // An animal the file does not hold is a mistake, not an empty drawing.
    std::set<std::int64_t> held;
    const nlohmann::json doc = read_annotation_json(o.file);
    const nlohmann::json& detections = require_key(doc, "detections", "'" + o.file + "'");
    for (std::size_t d = 0; detections.is_array() && d < detections.size(); ++d) {
      held.insert(box_number_of(detections[d], "'" + o.file + "', detection " + std::to_string(d)) + 1);
    }
    for (const int id : *ids) {
      if (held.contains(id)) continue;
      std::string keys;
      for (const std::int64_t h : held) keys += (keys.empty() ? "" : ", ") + box_key(h - 1);
      throw CLI::ValidationError("--ids", box_key(id - 1) + " (object id " + std::to_string(id) + ") is not in " + o.file +
                                              " (it holds " + (keys.empty() ? std::string("no animal") : keys) + ")");
    }
  }
  const cv::Mat picture = retrieve_annotation(o.file, o.out, o.boxes, ids);
  std::cout << "drew " << o.file << " (" << picture.cols << " x " << picture.rows << ") to " << o.out << "\n";
}

// A record, in each folder fix-polygons writes to, of the text it wrote per
// file name: the repair divides by the frame's shape, so a second run on a
// repaired file would break it again. A file that still holds what a run
// wrote is refused.
constexpr const char* kFixRecord = ".pelk_fixed_polygons.json";

nlohmann::json read_fix_record(const std::filesystem::path& folder) {
  std::error_code ec;
  const std::filesystem::path path = folder / kFixRecord;
  if (!std::filesystem::is_regular_file(path, ec)) return nlohmann::json::object();
  const nlohmann::json record = nlohmann::json::parse(std::ifstream(path), nullptr, false);
  return record.is_object() ? record : nlohmann::json::object();
}

// Whether the folder at `folder` takes new files (the atomic replacement
// writes a temporary file beside the target).
bool writable_folder(const std::filesystem::path& folder) {
  return ::access((folder.empty() ? std::filesystem::path(".") : folder).c_str(), W_OK | X_OK) == 0;
}

struct PlannedFix {
  std::string source, target, text;
};

void run_fix(const FixOptions& o) {
  namespace fs = std::filesystem;
  if (!o.out_dir.empty()) fs::create_directories(o.out_dir);
  // Every file is read, repaired in memory and checked before the first
  // write, so that a batch is written whole or not at all.
  std::vector<PlannedFix> plan;
  std::vector<std::string> problems;
  std::map<fs::path, nlohmann::json> records;
  std::set<std::string> targets;
  for (const std::string& f : o.files) {
    const std::string target =
        o.out_dir.empty() ? f : (fs::path(o.out_dir) / fs::path(f).filename()).string();
    const fs::path folder = fs::path(target).parent_path();
    if (!records.contains(folder)) records[folder] = read_fix_record(folder);
    const fs::path source_folder = fs::path(f).parent_path();
    if (!records.contains(source_folder)) records[source_folder] = read_fix_record(source_folder);
    try {
      const std::string before = read_regular_file(f, kAnnotationFileWhat, JsonLimits{}.max_bytes);
      const nlohmann::json& seen = records[source_folder];
      const std::string name = fs::path(f).filename().string();
      if (seen.contains(name) && seen[name] == internal::fingerprint_of(before)) {
        problems.push_back(f + ": repaired by an earlier fix-polygons already (it holds what that run wrote); a second "
                               "repair would scale it wrong again");
        continue;
      }
      if (!targets.insert(fs::weakly_canonical(fs::absolute(target)).string()).second) {
        problems.push_back(f + ": another file given would also be written to " + target);
        continue;
      }
      if (!writable_folder(folder)) {
        problems.push_back(f + ": cannot write into " + (folder.empty() ? std::string(".") : folder.string()));
        continue;
      }
      plan.push_back({f, target, polygon_scaling_fixed(f)});
    } catch (const std::exception& e) {
      problems.push_back(e.what());
    }
  }
  if (!problems.empty()) {
    for (const std::string& p : problems) std::cerr << p << "\n";
    throw std::runtime_error(counted(problems.size(), "file") + " of " + std::to_string(o.files.size()) +
                             " cannot be repaired (named above); nothing written");
  }
  Progress progress("files", plan.size());
  for (const PlannedFix& fix : plan) {
    write_file_atomically(fix.target, fix.text);
    const fs::path folder = fs::path(fix.target).parent_path();
    records[folder][fs::path(fix.target).filename().string()] = internal::fingerprint_of(fix.text);
    progress.step();
  }
  std::set<fs::path> written_folders;
  for (const PlannedFix& fix : plan) written_folders.insert(fs::path(fix.target).parent_path());
  for (const fs::path& folder : written_folders) write_file_atomically((folder / kFixRecord).string(), records[folder].dump(1) + "\n");
  for (const PlannedFix& fix : plan) std::cout << "repaired " << fix.source << (fix.target == fix.source ? "" : " -> " + fix.target) << "\n";
  std::cout << "repaired " << counted(plan.size(), "file") << "\n";
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
