#include "pelk_utils/annotation/identity_swap.hpp"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/py_json.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read '" + path + "'");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// FNV-1a, 64 bits, as hex: enough to tell whether a file changed.
std::string fingerprint(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ULL;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ULL;
  }
  char buf[17];
  std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::optional<std::int64_t> integer_of(const PyJson& value) {
  if (!value.is_integer()) return std::nullopt;
  std::int64_t v = 0;
  const std::string& d = value.digits();
  const auto res = std::from_chars(d.data(), d.data() + d.size(), v);
  if (res.ec != std::errc() || res.ptr != d.data() + d.size()) return std::nullopt;
  return v;
}

fs::path manifest_path(const std::string& dir) { return fs::path(dir) / kRepairManifest; }
fs::path backup_dir(const std::string& dir) { return fs::path(dir) / kRepairBackupDir; }

void remove_repair_files(const std::string& dir) {
  std::error_code ec;
  fs::remove_all(backup_dir(dir), ec);
  fs::remove(manifest_path(dir), ec);
}

// Puts back the original text of the first `count` changes.
void roll_back(const std::vector<FileChange>& changes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) write_file_atomically(changes[i].path, changes[i].original);
}

}  // namespace

std::string swap_object_ids(const std::string& json_text, std::int64_t a, std::int64_t b, const std::string& where) {
  PyJson doc = parse_py_json(json_text, where);
  PyJson* detections = doc.is_object() ? doc.find("detections") : nullptr;
  if (detections == nullptr || !detections->is_array()) {
    throw std::invalid_argument(where + ": no \"detections\" array");
  }
  for (PyJson& detection : detections->items()) {
    PyJson* id = detection.is_object() ? detection.find("object_id") : nullptr;
    if (id == nullptr) continue;
    const std::optional<std::int64_t> value = integer_of(*id);
    if (value == a) {
      *id = PyJson::integer(b);
    } else if (value == b) {
      *id = PyJson::integer(a);
    }
  }
  return doc.dump();
}

std::vector<FileChange> plan_identity_swaps(const ClipAnnotationData& clip, const std::vector<IdentitySwap>& swaps) {
  std::vector<FileChange> changes;
  for (const auto& [key, record] : clip) {
    const std::string original = read_bytes(record.json_path);
    std::string text = original;
    bool touched = false;
    for (const IdentitySwap& s : swaps) {
      if (key <= s.after_frame) continue;
      text = swap_object_ids(text, s.object_a, s.object_b, "'" + record.json_path + "'");
      touched = true;
    }
    if (touched && text != original) changes.push_back({record.json_path, original, text});
  }
  return changes;
}

void apply_file_changes(const std::string& dir, const std::vector<FileChange>& changes, const std::string& description) {
  if (fs::exists(manifest_path(dir))) {
    throw std::invalid_argument("'" + dir + "' holds the manifest of an earlier repair; undo it first (pelk repair --undo)");
  }
  if (changes.empty()) return;
  std::error_code ec;
  fs::remove_all(backup_dir(dir), ec);
  fs::create_directories(backup_dir(dir));
  nlohmann::json files = nlohmann::json::array();
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const std::string backup = std::to_string(i) + ".orig";
    write_file_atomically((backup_dir(dir) / backup).string(), changes[i].original);
    files.push_back({{"path", changes[i].path}, {"backup", backup}, {"original", fingerprint(changes[i].original)},
                     {"repaired", fingerprint(changes[i].repaired)}});
  }
  nlohmann::json manifest = {{"state", "applying"}, {"description", description}, {"files", files}};
  const auto write_manifest = [&] {
    write_file_atomically(manifest_path(dir).string(),
                          manifest.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  };
  write_manifest();
  std::size_t done = 0;
  try {
    for (; done < changes.size(); ++done) {
      const FileChange& c = changes[done];
      if (read_bytes(c.path) != c.original) {
        throw std::runtime_error("annotation file '" + c.path + "' changed during the repair");
      }
      write_file_atomically(c.path, c.repaired);
    }
  } catch (const std::exception& e) {
    roll_back(changes, done);
    remove_repair_files(dir);
    throw std::runtime_error(std::string(e.what()) + "; every file is back as it was");
  }
  manifest["state"] = "applied";
  write_manifest();
}

std::size_t undo_file_changes(const std::string& dir) {
  if (!fs::exists(manifest_path(dir))) return 0;
  const nlohmann::json manifest = nlohmann::json::parse(read_bytes(manifest_path(dir).string()), nullptr, false);
  if (manifest.is_discarded() || !manifest.contains("files") || !manifest["files"].is_array()) {
    throw std::runtime_error("repair manifest '" + manifest_path(dir).string() + "' is damaged; nothing was restored");
  }
  const bool applied = manifest.value("state", "") == "applied";
  std::vector<std::pair<std::string, std::string>> restore;
  for (const auto& f : manifest["files"]) {
    const std::string path = f.value("path", ""), backup = f.value("backup", "");
    const std::string original = read_bytes((backup_dir(dir) / backup).string());
    if (fingerprint(original) != f.value("original", "")) {
      throw std::runtime_error("the backup of '" + path + "' does not match the manifest; nothing was restored");
    }
    std::error_code ec;
    const std::string current = fs::exists(path, ec) ? read_bytes(path) : std::string();
    const std::string now = fingerprint(current);
    // An interrupted repair left each file either repaired or original.
    const bool expected = now == f.value("repaired", "") || (!applied && now == f.value("original", ""));
    if (!expected) {
      throw std::runtime_error("annotation file '" + path + "' changed since the repair; nothing was restored");
    }
    restore.emplace_back(path, original);
  }
  for (const auto& [path, original] : restore) write_file_atomically(path, original);
  remove_repair_files(dir);
  return restore.size();
}

bool has_finished_repair(const std::string& dir) {
  if (!fs::exists(manifest_path(dir))) return false;
  const nlohmann::json manifest = nlohmann::json::parse(read_bytes(manifest_path(dir).string()), nullptr, false);
  if (!manifest.is_discarded() && manifest.value("state", "") == "applied") return true;
  undo_file_changes(dir);
  return false;
}

}  // namespace pelk
