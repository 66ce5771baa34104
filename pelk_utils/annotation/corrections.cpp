#include "pelk_utils/annotation/corrections.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/annotation/internal/fingerprint.hpp"
#include "pelk_utils/core/json_file.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

constexpr const char* kFormat = "pelk corrections";
constexpr std::size_t kMaxBytes = std::size_t{16} << 20;
constexpr std::size_t kMaxDecisions = 100000;

struct Refusal {
  std::string path;
  [[noreturn]] void operator()(const std::string& reason) const {
    throw std::invalid_argument("corrections file '" + path + "' " + reason + "; nothing was written");
  }
};

void only_keys(const nlohmann::json& object, const std::set<std::string>& allowed, const std::string& where,
               const Refusal& refuse) {
  for (const auto& [key, value] : object.items()) {
    if (!allowed.contains(key)) refuse("has an unknown key '" + key + "'" + where);
  }
}

std::string text_of(const nlohmann::json& object, const char* key, const std::string& where, const Refusal& refuse) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) refuse("has no text \"" + std::string(key) + "\"" + where);
  return it->get<std::string>();
}

std::set<std::string> box_keys(const ClipAnnotationData& clip) {
  std::set<std::string> out;
  for (const auto& [key, record] : clip) {
    for (const auto& [box, mask] : record.masks_dict) out.insert(box);
  }
  return out;
}

Correction read_decision(const nlohmann::json& d, std::size_t index, const ClipAnnotationData& clip,
                         const std::set<std::string>& boxes, const Refusal& refuse) {
  const std::string where = " in decision " + std::to_string(index);
  if (!d.is_object()) refuse("has a decision that is not an object" + where);
  only_keys(d, {"frame", "boxes", "action", "source"}, where, refuse);
  Correction c;
  const auto frame = d.find("frame");
  if (frame == d.end() || !frame->is_number_integer()) refuse("has no whole \"frame\"" + where);
  const std::int64_t f = frame->get<std::int64_t>();
  if (f < 0 || f > std::numeric_limits<int>::max() || !clip.contains(static_cast<int>(f))) {
    refuse("names frame " + std::to_string(f) + ", which the clip does not have (" + std::to_string(clip.size()) +
           " frames)" + where);
  }
  c.frame = static_cast<int>(f);
  const auto pair = d.find("boxes");
  if (pair == d.end() || !pair->is_array() || pair->size() != 2 || !(*pair)[0].is_string() || !(*pair)[1].is_string()) {
    refuse("has no pair of box keys \"boxes\"" + where);
  }
  c.box_a = (*pair)[0].get<std::string>();
  c.box_b = (*pair)[1].get<std::string>();
  if (c.box_a == c.box_b) refuse("exchanges '" + c.box_a + "' with itself" + where);
  for (const std::string& box : {c.box_a, c.box_b}) {
    if (!boxes.contains(box)) refuse("names box '" + box + "', which the clip does not have" + where);
  }
  if (c.box_b < c.box_a) std::swap(c.box_a, c.box_b);
  const std::string action = text_of(d, "action", where, refuse), source = text_of(d, "source", where, refuse);
  if (action != "exchange" && action != "keep") refuse("has action \"" + action + "\" (exchange or keep)" + where);
  if (source != "verdict" && source != "hand") refuse("has source \"" + source + "\" (verdict or hand)" + where);
  c.exchange = action == "exchange";
  c.from_verdict = source == "verdict";
  return c;
}


}  // namespace

std::string clip_fingerprint(const ClipAnnotationData& clip) {
  internal::Fingerprint f;
  for (const auto& [key, record] : clip) {
    f.add(fs::path(record.json_path).filename().string() + "\n");
    f.add(read_regular_file(record.json_path, "annotation file", std::size_t{1} << 30) + "\n");
  }
  return f.hex();
}

std::vector<Correction> read_corrections(const std::string& path, const ClipAnnotationData& clip,
                                         const std::string& clip_name) {
  const Refusal refuse{path};
  nlohmann::json j;
  try {
    j = read_json_file(path, "corrections file", JsonLimits{.max_bytes = kMaxBytes});
  } catch (const std::exception& e) {
    refuse(std::string("cannot be read (") + e.what() + ")");
  }
  if (!j.is_object() || !j.contains("format") || j["format"] != kFormat) refuse("is not a corrections file");
  only_keys(j, {"format", "version", "clip", "fingerprint", "frames", "decisions"}, "", refuse);
  if (!j.contains("version") || j["version"] != 1) refuse("has a version this pelk does not know");
  const std::string made_for = text_of(j, "clip", "", refuse), fingerprint = text_of(j, "fingerprint", "", refuse);
  if (fingerprint != clip_fingerprint(clip)) {
    if (made_for != clip_name) refuse("was made for clip '" + made_for + "', not '" + clip_name + "'");
    refuse("was made for files of '" + made_for + "' that changed since its review page was made");
  }
  if (!j.contains("decisions") || !j["decisions"].is_array()) refuse("has no \"decisions\" list");
  if (j["decisions"].size() > kMaxDecisions) refuse("has more than " + std::to_string(kMaxDecisions) + " decisions");
  const std::set<std::string> boxes = box_keys(clip);
  std::vector<Correction> out;
  std::map<std::tuple<int, std::string, std::string>, bool> seen;
  for (std::size_t i = 0; i < j["decisions"].size(); ++i) {
    Correction c = read_decision(j["decisions"][i], i, clip, boxes, refuse);
    const auto [it, added] = seen.emplace(std::tuple{c.frame, c.box_a, c.box_b}, c.exchange);
    if (!added) {
      refuse(std::string(it->second == c.exchange ? "lists" : "contradicts") + " the decision on " + c.box_a + " and " +
             c.box_b + " at frame " + std::to_string(c.frame) + " twice (decision " + std::to_string(i) + ")");
    }
    out.push_back(std::move(c));
  }
  std::stable_sort(out.begin(), out.end(), [](const Correction& a, const Correction& b) { return a.frame < b.frame; });
  return out;
}

std::vector<IdentitySwap> swaps_of_corrections(const std::vector<Correction>& corrections) {
  std::vector<IdentitySwap> out;
  for (const Correction& c : corrections) {
    if (c.exchange) out.push_back({c.frame - 1, object_id_of_key(c.box_a), object_id_of_key(c.box_b)});
  }
  return out;
}

CorrectionsApplied apply_corrections(const std::string& dir, const std::string& path, bool dry_run) {
  AnnotationData data = whole_clip_data(dir);
  if (!data.pelk_annotation_data) throw std::invalid_argument("no annotation files (output_pp_<n>.json) under '" + dir + "'");
  const ClipAnnotationData& clip = *data.pelk_annotation_data;
  CorrectionsApplied out;
  out.swaps = swaps_of_corrections(read_corrections(path, clip, internal::folder_name(dir)));
  for (const IdentitySwap& s : out.swaps) {
    out.description += std::string(out.description.empty() ? "" : ", ") + "Box" + std::to_string(s.object_a - 1) + " and Box" +
                       std::to_string(s.object_b - 1) + " (object ids " + std::to_string(s.object_a) + " and " +
                       std::to_string(s.object_b) + ")" + " from frame " + std::to_string(s.after_frame + 1);
  }
  if (out.swaps.empty()) return out;
  const std::vector<FileChange> changes = plan_identity_swaps(clip, out.swaps);
  out.files_changed = changes.size();
  if (!dry_run) apply_file_changes(dir, changes, "corrections by hand: exchanged " + out.description);
  return out;
}

}  // namespace pelk
