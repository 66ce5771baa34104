#include "pelk_utils/interchange/evaluation_input.hpp"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <variant>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/interchange/cvat.hpp"
#include "pelk_utils/interchange/imported_boxes.hpp"

namespace pelk {
namespace {

namespace fs = std::filesystem;

std::string lower_extension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

using Side = std::variant<TrackSet, ImportedTracks>;

Side read_side(const std::string& path, TrackSide side, const char* name) {
  const std::string kind = evaluation_input_kind(path);
  if (kind == "MOTChallenge text") return read_mot(path, side);
  if (kind == "CVAT XML") return read_cvat(path);
  std::vector<std::string> notes;
  if (std::optional<TrackSet> boxes = read_imported_boxes(path, notes)) return std::move(*boxes);
  const ClipAnnotationData clip = load_clip_masks(path, true);
  if (clip.empty()) {
    throw std::invalid_argument(std::string("no annotation files (output_pp_<n>.json) in the ") + name + " folder '" +
                                path + "'");
  }
  TrackSet set = track_set_of(clip, path);
  set.notes.insert(set.notes.end(), notes.begin(), notes.end());
  return set;
}

std::optional<cv::Size> frame_size_of(const Side& side) {
  if (const auto* imported = std::get_if<ImportedTracks>(&side)) return imported->frame_size;
  return mask_frame_size(std::get<TrackSet>(side));
}

TrackSet finish(Side side, std::optional<cv::Size> other_size) {
  if (auto* set = std::get_if<TrackSet>(&side)) return std::move(*set);
  const ImportedTracks& imported = std::get<ImportedTracks>(side);
  return track_set_of(imported, imported.frame_size ? imported.frame_size : other_size);
}

}  // namespace

std::string evaluation_input_kind(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return "annotation folder";
  if (!fs::exists(path, ec)) throw std::runtime_error("'" + path + "' does not exist");
  const std::string ext = lower_extension(path);
  if (ext == ".txt") return "MOTChallenge text";
  if (ext == ".xml") return "CVAT XML";
  throw std::invalid_argument("'" + path + "' is neither an annotation folder, a MOTChallenge .txt file nor a CVAT "
                              ".xml file");
}

std::optional<cv::Size> mask_frame_size(const TrackSet& tracks) {
  for (const auto& [frame, objects] : tracks.frames) {
    for (const TrackObject& o : objects) {
      if (o.mask) return o.mask->size();
    }
  }
  return std::nullopt;
}

TrackSet read_evaluation_input(const std::string& path, TrackSide side, std::optional<cv::Size> other_frame_size) {
  return finish(read_side(path, side, side == TrackSide::kTruth ? "truth" : "tracked"), other_frame_size);
}

std::pair<TrackSet, TrackSet> read_day_evaluation_inputs(const std::vector<std::string>& tracked,
                                                         const std::vector<std::string>& truth) {
  if (tracked.empty() || tracked.size() != truth.size()) {
    throw std::invalid_argument("a day needs as many truth clips as tracked clips, in the same order; got " +
                                std::to_string(tracked.size()) + " tracked and " + std::to_string(truth.size()) +
                                " truth");
  }
  std::pair<TrackSet, TrackSet> day;
  std::int64_t base = 0;  // where the next pair's frame 0 lands
  for (std::size_t k = 0; k < tracked.size(); ++k) {
    auto [t, g] = read_evaluation_inputs(tracked[k], truth[k]);
    std::int64_t first = std::numeric_limits<std::int64_t>::max(), last = std::numeric_limits<std::int64_t>::min();
    for (const TrackSet* s : {&t, &g}) {
      if (!s->frames.empty()) first = std::min(first, s->frames.begin()->first), last = std::max(last, s->frames.rbegin()->first);
    }
    if (first > last) continue;
    const std::int64_t shift = base - first;
    for (auto [from, into] : {std::pair{&t, &day.first}, std::pair{&g, &day.second}}) {
      for (auto& [frame, objects] : from->frames) into->frames[frame + shift] = std::move(objects);
      for (auto& [frame, rows] : from->distractor_rows) into->distractor_rows[frame + shift] = std::move(rows);
      into->ignored += from->ignored;
      for (const std::string& note : from->notes) {
        if (std::find(into->notes.begin(), into->notes.end(), note) == into->notes.end()) into->notes.push_back(note);
      }
      if (into->kind.empty()) into->kind = from->kind;
    }
    base += last - first + 1;
  }
  day.first.source = "a day of " + std::to_string(tracked.size()) + " tracked clips (" + tracked.front() + " ...)";
  day.second.source = "a day of " + std::to_string(truth.size()) + " truth clips (" + truth.front() + " ...)";
  return day;
}

std::pair<TrackSet, TrackSet> read_evaluation_inputs(const std::string& tracked, const std::string& truth) {
  Side t = read_side(tracked, TrackSide::kTracked, "tracked");
  Side g = read_side(truth, TrackSide::kTruth, "truth");
  const std::optional<cv::Size> tracked_size = frame_size_of(t), truth_size = frame_size_of(g);
  return {finish(std::move(t), truth_size), finish(std::move(g), tracked_size)};
}

}  // namespace pelk
