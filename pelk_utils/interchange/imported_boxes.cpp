#include "pelk_utils/interchange/imported_boxes.hpp"

#include <filesystem>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/internal/fingerprint.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/json_file.hpp"

namespace pelk {
namespace {

namespace fs = std::filesystem;

std::string fingerprint_of(const std::string& text) {
  internal::Fingerprint f;
  f.add(text);
  return f.hex();
}

}  // namespace

void write_imported_boxes(const std::string& dir, const std::string& source, const std::string& kind,
                          const std::vector<ImportedBoxesFile>& files) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ImportedBoxesFile& f : files) {
    nlohmann::ordered_json boxes = nlohmann::ordered_json::array();
    for (const ImportedBox& b : f.boxes) boxes.push_back({b.object_id, b.box[0], b.box[1], b.box[2], b.box[3]});
    list.push_back({{"frame", f.frame}, {"file", f.file_name}, {"fingerprint", fingerprint_of(f.text)}, {"boxes", boxes}});
  }
  const nlohmann::ordered_json doc = {{"format", "pelk imported boxes"},
                                      {"about", "boxes as the source gave them: object_id, left, top, right, bottom"},
                                      {"source", source},
                                      {"kind", kind},
                                      {"files", list}};
  write_file_atomically((fs::path(dir) / kImportedBoxesFile).string(), doc.dump(1) + "\n", AtomicWriteOptions{.sync = false});
}

std::optional<TrackSet> read_imported_boxes(const std::string& dir, std::vector<std::string>& notes) {
  const fs::path path = fs::path(dir) / kImportedBoxesFile;
  std::error_code ec;
  if (!fs::exists(path, ec)) return std::nullopt;
  const std::string where = "imported-boxes record '" + path.string() + "'";
  TrackSet out;
  std::string origin;  // "MOTChallenge text 'truth.txt'"
  std::set<std::string> recorded;
  bool edited = false;
  try {
    const nlohmann::json doc = read_json_file(path.string(), "imported-boxes record");
    if (doc.value("format", "") != "pelk imported boxes") throw std::invalid_argument("not a pelk imported-boxes record");
    out.source = dir;
    out.kind = "annotation folder of imported boxes";
    origin = doc.at("kind").get<std::string>() + " '" + doc.at("source").get<std::string>() + "'";
    for (const nlohmann::json& f : doc.at("files")) {
      const std::string name = f.at("file").get<std::string>();
      if (name.find('/') != std::string::npos || name.find("..") != std::string::npos) {
        throw std::invalid_argument("names a file outside the folder: " + name);
      }
      recorded.insert(name);
      std::string text;
      try {
        text = read_regular_file((fs::path(dir) / name).string(), "annotation file", std::size_t{64} << 20);
      } catch (const std::runtime_error&) {
        edited = true;
        continue;
      }
      if (fingerprint_of(text) != f.at("fingerprint").get<std::string>()) edited = true;
      std::vector<TrackObject>& objects = out.frames[f.at("frame").get<std::int64_t>()];
      for (const nlohmann::json& b : f.at("boxes")) {
        const std::int64_t id = b.at(0).get<std::int64_t>();
        if (id < 1) throw std::invalid_argument("object id " + std::to_string(id) + " is below 1");
        objects.push_back({box_key(id - 1), std::nullopt,
                           ContinuousBox{b.at(1).get<double>(), b.at(2).get<double>(), b.at(3).get<double>(),
                                         b.at(4).get<double>()}});
      }
    }
  } catch (const nlohmann::json::exception& e) {
    throw std::invalid_argument(where + " is damaged: " + e.what());
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(where + ": " + e.what());
  }
  for (const std::string& file : list_annotation_files(dir)) {
    if (!recorded.contains(fs::path(file).filename().string())) edited = true;
  }
  if (edited) {
    notes.push_back("holds boxes imported from " + origin + ", but its annotation files changed since: their masks "
                    "are measured");
    return std::nullopt;
  }
  out.notes.push_back("holds boxes imported from " + origin + " (" + kImportedBoxesFile +
                      "): measured as those boxes, by box IoU, as the file itself is");
  return out;
}

}  // namespace pelk
