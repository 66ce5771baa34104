#include "pelk_utils/tracks/clip_stream.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>

#include "pelk_utils/annotation/file_changes.hpp"
#include "pelk_utils/core/heap_release.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/stop.hpp"
#include "pelk_utils/tracks/frame_time.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

std::string joined(const std::vector<std::string>& keys) {
  std::string text;
  for (const std::string& k : keys) text += (text.empty() ? "" : ", ") + k;
  return text;
}

// The clip's masks (no intersections tables: nothing here needs them).
ClipAnnotationData load_clip(const std::string& folder) {
  ClipAnnotationData clip = load_clip_masks(folder, true);
  if (clip.empty()) throw std::invalid_argument("no annotation files (output_pp_<n>.json) under '" + folder + "'");
  return clip;
}

std::string rate_text(double rate) {
  return rate == std::floor(rate) && rate < 1e9 ? std::to_string(static_cast<std::int64_t>(rate)) : format_number(rate);
}

// A frame's place for ordering clips: recording start, frame in it.
using Place = std::pair<std::int64_t, std::int64_t>;

std::optional<Place> place_of(const FrameRecord& record) {
  const auto f = extracted_frame_of(record.image_path);
  if (!f) return std::nullopt;
  // Any rate orders frames of one recording alike; 1000 keeps ranges apart.
  return Place{f->start_seconds, recording_frame_of(*f, 1000.0)};
}

// Of the masks at the start of `after` that overlap one mask at the end of
// `before` (IoU >= 0.5: the same animal a frame or two later), how many and
// how many of them under another key: identities that do not follow on.
std::pair<int, int> keys_across(const FrameRecord& before, const FrameRecord& after) {
  int paired = 0, other = 0;
  for (const auto& [key, mask] : after.masks_dict) {
    if (mask.empty()) continue;
    const std::string* best = nullptr;
    double best_iou = 0.5;
    for (const auto& [k, m] : before.masks_dict) {
      if (m.empty()) continue;
      const double inter = static_cast<double>(intersection_area(mask, m));
      const double iou = inter / (static_cast<double>(mask.area() + m.area()) - inter);
      if (iou >= best_iou) best_iou = iou, best = &k;
    }
    if (best == nullptr) continue;
    ++paired;
    other += *best != key;
  }
  return {paired, other};
}

}  // namespace

std::vector<std::string> stream_clips(const std::vector<std::string>& clips, const FrameTimeSource& times,
                                      const std::function<void(const StreamFrame&)>& frame) {
  // The same folder twice (as written: links are other names on purpose)
  // would count its frames twice.
  std::map<std::string, std::string> given;
  for (const std::string& clip : clips) {
    fs::path normal = fs::absolute(clip).lexically_normal();
    if (normal.filename().empty()) normal = normal.parent_path();
    const auto [it, fresh] = given.emplace(normal.string(), clip);
    if (!fresh) {
      throw std::invalid_argument("clip '" + clip + "' is given twice" +
                                  (it->second == clip ? std::string() : " (also as '" + it->second + "')") +
                                  ": its frames would count twice");
    }
  }
  std::vector<std::string> notes;
  std::set<std::string> timed_videos, untimed_videos, stamped_videos;
  std::map<std::string, std::optional<std::vector<double>>> stamps;  // read once per recording
  const auto stamps_of = [&](const std::string& video) -> const std::optional<std::vector<double>>& {
    auto it = stamps.find(video);
    if (it != stamps.end()) return it->second;
    std::optional<std::vector<double>> read;
    const auto file = times.recording_files.find(video);
    if (file != times.recording_files.end() && times.read_frame_times) read = times.read_frame_times(file->second);
    return stamps.emplace(video, std::move(read)).first->second;
  };
  bool outside_tree = false;
  HeapRelease heap;
  std::vector<std::string> previous_keys;
  std::optional<FrameRecord> previous_last;
  Place previous_end{};
  bool previous_known = false;
  for (std::size_t c = 0; c < clips.size(); ++c) {
    throw_if_stop_requested();
    // The previous clip's memory goes back to the system when the process
    // grew: the loader's threads would otherwise each keep a heap of it.
    if (c > 0) heap.between_items();
    const ClipAnnotationData clip = load_clip(clips[c]);
    std::vector<std::string> keys;
    for (const auto& [key, record] : clip) {
      for (const auto& [box, mask] : record.masks_dict) {
        if (std::find(keys.begin(), keys.end(), box) == keys.end()) keys.push_back(box);
      }
    }
    if (c > 0 && keys != previous_keys) {
      std::vector<std::string> gone, added;
      for (const std::string& k : previous_keys) {
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) gone.push_back(k);
      }
      for (const std::string& k : keys) {
        if (std::find(previous_keys.begin(), previous_keys.end(), k) == previous_keys.end()) added.push_back(k);
      }
      if (!gone.empty() || !added.empty()) {
        notes.push_back("identities change at '" + clips[c] + "': " +
                        (added.empty() ? std::string() : "new " + joined(added)) +
                        (!added.empty() && !gone.empty() ? "; " : "") +
                        (gone.empty() ? std::string() : "not in it " + joined(gone)) + " (both sets kept)");
      }
    }
    if (previous_last) {
      // Clips tracked one by one number their animals each their own way;
      // read as one day they would mix animals up.
      const auto [paired, other] = keys_across(*previous_last, clip.begin()->second);
      if (other > 0) {
        notes.push_back("warning: identities do not follow on from '" + clips[c - 1] + "' to '" + clips[c] + "': " +
                        std::to_string(other) + " of " + std::to_string(paired) +
                        " animals that overlap across the boundary carry another key there (clips tracked one by one: "
                        "put them under one set of identities with `pelk chain` first)");
      }
    }
    const std::optional<Place> first = place_of(clip.begin()->second);
    if (c > 0 && first.has_value() && previous_known && first.value() <= previous_end) {
      throw std::invalid_argument("clip '" + clips[c] + "' starts before the end of the previous clip '" +
                                  clips[c - 1] + "' in the recordings: give the clips in the order they were recorded");
    }
    for (const auto& [key, record] : clip) {
      StreamFrame f;
      f.clip_index = c;
      f.clip = &clips[c];
      f.frame_key = key;
      f.frame_number = frame_index_of(record.json_path);
      f.record = &record;
      f.size = record.masks_dict.empty() ? cv::Size() : record.masks_dict.begin()->second.size();
      f.identities = &keys;
      f.clip_data = &clip;
      if (const auto where = extracted_frame_of(record.image_path)) {
        const auto rate = times.recording_rates.find(where->video_name);
        const std::optional<double> r = rate != times.recording_rates.end() ? std::optional(rate->second) : times.fps;
        const std::optional<std::vector<double>>& own = stamps_of(where->video_name);
        const std::int64_t n = r && *r > 0 ? recording_frame_of(*where, *r) : -1;
        if (own && n >= 0 && n < static_cast<std::int64_t>(own->size())) {
          f.time = FrameTime{where->start_seconds, (*own)[static_cast<std::size_t>(n)]};
          stamped_videos.insert(where->video_name);
        } else if (r && *r > 0) {
          f.time = frame_time(*where, *r);
          timed_videos.insert(where->video_name + " at " + rate_text(*r) + " fps" +
                              (own ? " (a variable-rate recording: its rate assumed where its time stamps end)" : ""));
        } else {
          untimed_videos.insert(where->video_name);
        }
      } else {
        outside_tree = true;
      }
      frame(f);
    }
    const std::optional<Place> end = place_of(clip.rbegin()->second);
    previous_known = end.has_value();
    if (end) previous_end = *end;
    previous_keys = keys;
    previous_last = clip.rbegin()->second;
  }
  std::vector<std::string> time_notes;
  if (!stamped_videos.empty()) {
    time_notes.push_back("times: recording start + each frame's own time stamp for " +
                         joined({stamped_videos.begin(), stamped_videos.end()}) + " (variable-rate recordings)");
  }
  if (!timed_videos.empty()) {
    time_notes.push_back("times: recording start + frame number / rate for " +
                         joined({timed_videos.begin(), timed_videos.end()}) +
                         " (exact for constant-rate recordings)");
  }
  if (!untimed_videos.empty()) {
    time_notes.push_back("times: none for " + joined({untimed_videos.begin(), untimed_videos.end()}) +
                         ": the recording's rate is unknown (give --fps or --videos)");
  }
  if (outside_tree) time_notes.push_back("times: none for frames outside a `pelk extract` tree (frame keys only)");
  notes.insert(notes.begin(), time_notes.begin(), time_notes.end());
  return notes;
}

std::optional<std::string> identities_note(const std::vector<std::string>& clips) {
  if (clips.size() < 2) return std::nullopt;
  for (const std::string& clip : clips) {
    std::error_code ec;
    if (fs::exists(fs::path(clip) / kChainChanges.manifest, ec)) {
      return "identities: the day's, as `pelk chain` set them across the clips";
    }
  }
  return "identities: each clip's keys as they are (the clips were not put under one set with `pelk chain`; a key "
         "is one animal across clips only if they were tracked so)";
}

void refuse_output_inside_clips(const std::string& output, const std::vector<std::string>& clips) {
  std::error_code ec;
  const fs::path out = fs::weakly_canonical(fs::absolute(output), ec);
  for (const std::string& clip : clips) {
    const fs::path folder = fs::weakly_canonical(fs::absolute(clip), ec);
    const auto rel = out.lexically_relative(folder);
    if (!rel.empty() && *rel.begin() != "..") {
      throw std::invalid_argument("output '" + output + "' lies inside the clip folder '" + clip +
                                  "': write it elsewhere (a clip folder holds only its annotation files)");
    }
  }
}

}  // namespace pelk
