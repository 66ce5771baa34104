#include "pelk_utils/annotation/file_changes.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "pelk_utils/annotation/internal/fingerprint.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/json_file.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

constexpr int kVersion = 2;
constexpr const char* kIdFile = "repair_id";
constexpr std::size_t kMaxManifestBytes = std::size_t{256} << 20;

std::atomic<void (*)(const char*)> g_hook{nullptr};

void step(const char* name) {
  if (auto* hook = g_hook.load()) hook(name);
}

using internal::folder_name;

std::string fingerprint(const std::string& bytes) { return internal::fingerprint_of(bytes); }


fs::path manifest_path(const std::string& dir, const ChangeSet& set) { return fs::path(dir) / set.manifest; }
fs::path backup_dir(const std::string& dir, const ChangeSet& set) { return fs::path(dir) / set.backup_dir; }

std::string read_file(const fs::path& path, std::size_t max_bytes = std::size_t{1} << 30) {
  return read_regular_file(path.string(), "file", max_bytes);
}

// The text of `path`, or nullopt when there is no such file.
std::optional<std::string> read_if_present(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec)) && !fs::exists(path, ec)) return std::nullopt;
  return read_file(path);
}

bool is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name != kRepairChanges.manifest && name != kRepairChanges.backup_dir &&
         name != kChainChanges.manifest && name != kChainChanges.backup_dir;
}

bool is_fingerprint(const std::string& s) {
  return s.size() == 16 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// One file of a manifest: its name in the clip folder, its backups and the
// fingerprints of its text before and after the repair.
struct Entry {
  std::string name, backup, repaired_copy;  // repaired_copy "" in manifests of an earlier version
  std::string original, repaired;
};

struct Manifest {
  int version = 1;
  bool applied = false;
  std::string description, id, folder;
  std::vector<Entry> files;
};

[[noreturn]] void refuse(const std::string& dir, const ChangeSet& set, const std::string& reason) {
  throw std::invalid_argument(std::string(set.noun) + " manifest '" + manifest_path(dir, set).string() + "' " + reason + "; nothing was changed");
}

std::string text_field(const nlohmann::json& j, const char* key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Entry read_entry(const std::string& dir, const ChangeSet& set, const nlohmann::json& f, int version) {
  if (!f.is_object()) refuse(dir, set, "lists a file that is not an object");
  Entry e;
  // Earlier versions kept the path as typed; only its name is trusted, so a
  // copied folder restores its own files.
  e.name = version >= 2 ? text_field(f, "name") : fs::path(text_field(f, "path")).filename().string();
  e.backup = text_field(f, "backup");
  e.repaired_copy = version >= 2 ? text_field(f, "repaired_copy") : std::string();
  e.original = text_field(f, "original");
  e.repaired = text_field(f, "repaired");
  if (!is_plain_name(e.name)) refuse(dir, set, "names a file outside its folder ('" + e.name + "')");
  if (!is_plain_name(e.backup) || (version >= 2 && !is_plain_name(e.repaired_copy))) {
    refuse(dir, set, "names a backup outside its backup folder for '" + e.name + "'");
  }
  if (!is_fingerprint(e.original) || !is_fingerprint(e.repaired)) refuse(dir, set, "has no fingerprints for '" + e.name + "'");
  return e;
}

// Returns the manifest of `dir`, nullopt when there is none; refuses one
// that is damaged or not ours.
std::optional<Manifest> read_manifest(const std::string& dir, const ChangeSet& set) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(manifest_path(dir, set), ec))) return std::nullopt;
  nlohmann::json j;
  try {
    j = parse_json_text(read_regular_file(manifest_path(dir, set).string(), std::string(set.noun) + " manifest", kMaxManifestBytes),
                        manifest_path(dir, set).string());
  } catch (const std::exception& e) {
    refuse(dir, set, std::string("cannot be read (") + e.what() + ")");
  }
  if (!j.is_object()) refuse(dir, set, std::string("is not a ") + set.noun + " manifest (not a JSON object)");
  Manifest m;
  if (j.contains("format")) {
    if (text_field(j, "format") != set.format) refuse(dir, set, std::string("is not a ") + set.noun + " manifest (format \"" + text_field(j, "format") + "\")");
    if (!j.contains("version") || !j["version"].is_number_integer() || j["version"].get<std::int64_t>() != kVersion) {
      refuse(dir, set, "has a version this pelk does not know");
    }
    m.version = kVersion;
  }
  const std::string state = text_field(j, "state");
  if (state != "applying" && state != "applied") refuse(dir, set, std::string("is not a ") + set.noun + " manifest (no known \"state\")");
  m.applied = state == "applied";
  m.description = text_field(j, "description");
  m.id = text_field(j, "repair_id");
  m.folder = text_field(j, "folder");
  if (m.version >= 2 && !is_fingerprint(m.id)) refuse(dir, set, "has no repair id");
  if (!j.contains("files") || !j["files"].is_array()) refuse(dir, set, std::string("is not a ") + set.noun + " manifest (no \"files\" list)");
  std::set<std::string> names;
  for (const auto& f : j["files"]) {
    m.files.push_back(read_entry(dir, set, f, m.version));
    if (!names.insert(m.files.back().name).second) refuse(dir, set, "lists '" + m.files.back().name + "' twice");
  }
  return m;
}

bool is_temp_name(const std::string& name) {
  return name.size() == 12 && name.rfind(".pelk-", 0) == 0 &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789", 6) == std::string::npos;
}

std::vector<std::string> temp_files(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (is_temp_name(it->path().filename().string()) && it->is_regular_file(ec)) out.push_back(it->path().string());
  }
  return out;
}

void remove_repair_files(const std::string& dir, const ChangeSet& set) {
  std::error_code ec;
  fs::remove(manifest_path(dir, set), ec);
  fs::remove_all(backup_dir(dir, set), ec);
}

// Checks that the backups of `m` are the ones its repair wrote.
void check_backups(const std::string& dir, const ChangeSet& set, const Manifest& m) {
  if (m.version >= 2) {
    const std::optional<std::string> id = read_if_present(backup_dir(dir, set) / kIdFile);
    if (!id || *id != m.id) refuse(dir, set, "does not match the backup folder beside it (another repair's, or missing)");
  }
  for (const Entry& e : m.files) {
    const std::optional<std::string> original = read_if_present(backup_dir(dir, set) / e.backup);
    if (!original || fingerprint(*original) != e.original) refuse(dir, set, "has no intact backup of '" + e.name + "'");
    if (m.version >= 2) {
      const std::optional<std::string> repaired = read_if_present(backup_dir(dir, set) / e.repaired_copy);
      if (!repaired || fingerprint(*repaired) != e.repaired) refuse(dir, set, "has no intact new text of '" + e.name + "'");
    }
  }
}

// Fingerprints of the clip's files now ("" for a missing file).
std::vector<std::string> current_fingerprints(const std::string& dir, const Manifest& m) {
  std::vector<std::string> out;
  for (const Entry& e : m.files) {
    const std::optional<std::string> text = read_if_present(fs::path(dir) / e.name);
    out.push_back(text ? fingerprint(*text) : std::string());
  }
  return out;
}

// Checks that every file is as the repair left it (for an interrupted one,
// repaired or still original); refuses a manifest none of whose files match.
void check_files(const std::string& dir, const ChangeSet& set, const Manifest& m, const std::vector<std::string>& now) {
  std::size_t matching = 0;
  std::optional<std::size_t> first_changed;
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    const bool expected = now[i] == m.files[i].repaired || (!m.applied && now[i] == m.files[i].original);
    if (expected) {
      ++matching;
    } else if (!first_changed) {
      first_changed = i;
    }
  }
  if (!first_changed) return;
  if (matching == 0) {
    refuse(dir, set, "does not belong to this folder (none of its " + std::to_string(m.files.size()) +
                    " files is as that " + std::string(set.noun) + " left it" + (m.folder.empty() ? "" : "; it was made in a folder named '" + m.folder + "'") + ")");
  }
  throw std::runtime_error("annotation file '" + (fs::path(dir) / m.files[*first_changed].name).string() +
                           "' changed since the " + std::string(set.noun) + "; nothing was restored");
}

nlohmann::json manifest_json(const Manifest& m, const ChangeSet& set) {
  nlohmann::json files = nlohmann::json::array();
  for (const Entry& e : m.files) {
    files.push_back({{"name", e.name}, {"backup", e.backup}, {"repaired_copy", e.repaired_copy},
                     {"original", e.original}, {"repaired", e.repaired}});
  }
  return {{"format", set.format}, {"version", kVersion}, {"repair_id", m.id}, {"folder", m.folder},
          {"state", m.applied ? "applied" : "applying"}, {"description", m.description}, {"files", files}};
}

void write_manifest(const std::string& dir, const ChangeSet& set, const Manifest& m) {
  step("manifest");
  write_file_atomically(manifest_path(dir, set).string(),
                        manifest_json(m, set).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

// Returns the name of `path` when it lies directly in `dir`.
std::string name_in(const std::string& dir, const std::string& path) {
  std::error_code ec;
  const fs::path p(path);
  const fs::path parent = p.has_parent_path() ? p.parent_path() : fs::path(".");
  const std::string name = p.filename().string();
  if (!is_plain_name(name) || !fs::equivalent(parent, dir, ec)) {
    throw std::invalid_argument("'" + path + "' is not a file of the clip folder '" + dir + "'; nothing was written");
  }
  return name;
}


}  // namespace

RepairStatus repair_status(const std::string& dir, const ChangeSet& set) {
  RepairStatus s;
  const std::optional<Manifest> m = read_manifest(dir, set);
  if (m) {
    s.state = m->applied ? RepairState::kApplied : RepairState::kPending;
    s.description = m->description;
    s.files = m->files.size();
    s.can_finish = !m->applied && m->version >= 2;
  } else if (fs::exists(backup_dir(dir, set))) {
    s.leftovers.push_back(backup_dir(dir, set).string());
  }
  for (const fs::path& d : {fs::path(dir), backup_dir(dir, set)}) {
    for (std::string& t : temp_files(d)) s.leftovers.push_back(std::move(t));
  }
  return s;
}

std::size_t clean_repair_leftovers(const std::string& dir, const ChangeSet& set) {
  const RepairStatus s = repair_status(dir, set);
  std::error_code ec;
  std::size_t removed = 0;
  for (const std::string& path : s.leftovers) removed += fs::remove_all(path, ec) > 0 ? 1 : 0;
  return removed;
}

void apply_file_changes(const std::string& dir, const std::vector<FileChange>& changes, const std::string& description, const ChangeSet& set) {
  if (read_manifest(dir, set)) {
    throw std::invalid_argument("'" + dir + "' holds the manifest of an earlier " + set.noun + "; undo it first (" + set.undo_command + ")");
  }
  Manifest m;
  m.version = kVersion;
  m.folder = folder_name(dir);
  m.description = description;
  std::set<std::string> names;
  // The id ties the manifest to its backups. It is made from what the
  // change does (not drawn at random), so the same change over the same
  // files writes the same bytes: a cluster's run equals one process's.
  std::string what = description;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const std::string name = name_in(dir, changes[i].path);
    if (!names.insert(name).second) throw std::invalid_argument("'" + changes[i].path + "' is changed twice; nothing was written");
    m.files.push_back({name, std::to_string(i) + ".orig", std::to_string(i) + ".new", fingerprint(changes[i].original),
                       fingerprint(changes[i].repaired)});
    what += "\n" + name + " " + m.files.back().original + " " + m.files.back().repaired;
  }
  m.id = fingerprint(what);
  if (changes.empty()) return;
  clean_repair_leftovers(dir, set);
  fs::create_directories(backup_dir(dir, set));
  const AtomicWriteOptions no_sync{.sync = false};
  write_file_atomically((backup_dir(dir, set) / kIdFile).string(), m.id, no_sync);
  for (std::size_t i = 0; i < changes.size(); ++i) {
    step("backup");
    write_file_atomically((backup_dir(dir, set) / m.files[i].backup).string(), changes[i].original, no_sync);
    write_file_atomically((backup_dir(dir, set) / m.files[i].repaired_copy).string(), changes[i].repaired, no_sync);
  }
  write_manifest(dir, set, m);  // synced: from here on the repair can be finished or undone
  std::size_t done = 0;
  try {
    for (; done < changes.size(); ++done) {
      const FileChange& c = changes[done];
      const fs::path target = fs::path(dir) / m.files[done].name;
      if (read_if_present(target) != c.original) {
        throw std::runtime_error("annotation file '" + target.string() + "' changed during the " + std::string(set.noun));
      }
      step("file");
      write_file_atomically(target.string(), c.repaired);
    }
    m.applied = true;
    write_manifest(dir, set, m);
  } catch (const std::exception& e) {
    for (std::size_t i = 0; i < done; ++i) write_file_atomically((fs::path(dir) / m.files[i].name).string(), changes[i].original);
    remove_repair_files(dir, set);
    throw std::runtime_error(std::string(e.what()) + "; every file is back as it was");
  }
}

std::size_t finish_interrupted_repair(const std::string& dir, const ChangeSet& set) {
  std::optional<Manifest> m = read_manifest(dir, set);
  if (!m || m->applied) throw std::runtime_error("'" + dir + "' holds no interrupted " + set.noun + " to finish");
  if (m->version < 2) {
    throw std::runtime_error("the interrupted " + std::string(set.noun) + " of '" + dir + "' was made by an earlier pelk and cannot be finished; "
                             "roll it back with " + std::string(set.undo_command));
  }
  check_backups(dir, set, *m);
  check_files(dir, set, *m, current_fingerprints(dir, *m));
  clean_repair_leftovers(dir, set);
  std::size_t written = 0;
  for (const Entry& e : m->files) {
    const fs::path target = fs::path(dir) / e.name;
    if (fingerprint(read_if_present(target).value_or("")) == e.repaired) continue;
    step("finish");
    write_file_atomically(target.string(), read_file(backup_dir(dir, set) / e.repaired_copy));
    ++written;
  }
  m->applied = true;
  write_manifest(dir, set, *m);
  return written;
}

std::size_t undo_file_changes(const std::string& dir, const ChangeSet& set) {
  const std::optional<Manifest> m = read_manifest(dir, set);
  if (!m) {
    clean_repair_leftovers(dir, set);
    return 0;
  }
  check_backups(dir, set, *m);
  const std::vector<std::string> now = current_fingerprints(dir, *m);
  check_files(dir, set, *m, now);
  clean_repair_leftovers(dir, set);
  std::size_t restored = 0;
  for (std::size_t i = 0; i < m->files.size(); ++i) {
    if (now[i] == m->files[i].original) continue;  // an interrupted repair had not reached it
    step("undo");
    write_file_atomically((fs::path(dir) / m->files[i].name).string(), read_file(backup_dir(dir, set) / m->files[i].backup));
    ++restored;
  }
  remove_repair_files(dir, set);
  return restored;
}

namespace testing {
void set_file_change_hook(void (*hook)(const char*)) { g_hook.store(hook); }
}  // namespace testing

}  // namespace pelk
