#include "pelk_utils/annotation/identity_swap.hpp"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
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

std::optional<std::int64_t> integer_of(const PyJson& value) {
  if (!value.is_integer()) return std::nullopt;
  std::int64_t v = 0;
  const std::string& d = value.digits();
  const auto res = std::from_chars(d.data(), d.data() + d.size(), v);
  if (res.ec != std::errc() || res.ptr != d.data() + d.size()) return std::nullopt;
  return v;
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

std::string relabel_object_ids(const std::string& json_text, const std::map<std::int64_t, std::int64_t>& to,
                               const std::string& where) {
  PyJson doc = parse_py_json(json_text, where);
  PyJson* detections = doc.is_object() ? doc.find("detections") : nullptr;
  if (detections == nullptr || !detections->is_array()) {
    throw std::invalid_argument(where + ": no \"detections\" array");
  }
  bool changed = false;
  for (PyJson& detection : detections->items()) {
    PyJson* id = detection.is_object() ? detection.find("object_id") : nullptr;
    if (id == nullptr) continue;
    const std::optional<std::int64_t> value = integer_of(*id);
    if (!value) continue;
    const auto it = to.find(*value);
    if (it == to.end() || it->second == *value) continue;
    *id = PyJson::integer(it->second);
    changed = true;
  }
  return changed ? doc.dump() : json_text;
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

}  // namespace pelk
