#include "pelk_utils/interchange/track_export.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/interchange/coco.hpp"
#include "pelk_utils/interchange/cvat.hpp"
#include "pelk_utils/interchange/mot.hpp"

namespace pelk {

std::int64_t export_id_of(const std::string& key, const std::string& where) {
  const std::optional<std::int64_t> number = box_number_of_key(key);
  if (!number || *number < 0 || *number == INT64_MAX) {
    throw std::invalid_argument(where + ": the animal '" + key + "' has no object id to export");
  }
  return *number + 1;
}

double polygon_area(const std::vector<double>& p) {
  double twice = 0;
  const std::size_t n = p.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = (i + 1) % n;
    twice += p[2 * i] * p[2 * j + 1] - p[2 * j] * p[2 * i + 1];
  }
  return std::abs(twice) / 2;
}

std::optional<TrackFormat> track_format_named(const std::string& name) {
  if (name == "mot") return TrackFormat::kMot;
  if (name == "cvat") return TrackFormat::kCvat;
  if (name == "coco") return TrackFormat::kCoco;
  if (name == "coco-rle") return TrackFormat::kCocoRle;
  return std::nullopt;
}

namespace {

// The polygons of each detection of an annotation file, in pixels of a
// `width` x `height` frame, by box key (a key twice in the file is an error,
// as in the clip loader).
std::map<std::string, std::vector<std::vector<double>>> polygons_of(const std::string& json_path, int width,
                                                                    int height) {
  std::map<std::string, std::vector<std::vector<double>>> out;
  const nlohmann::json doc = read_annotation_json(json_path);
  const nlohmann::json& detections = require_key(doc, "detections", json_path);
  BoxNumbersSeen seen("'" + json_path + "'");
  for (std::size_t i = 0; i < detections.size(); ++i) {
    const std::string where = json_path + " detection " + std::to_string(i);
    const std::int64_t box_number = box_number_of(detections[i], where);
    seen.add(box_number, i);
    const std::string key = box_key(box_number);
    std::vector<std::vector<double>> polygons;
    for (const auto& text : require_key(detections[i], "formatted_polygon", where)) {
      PolygonString p = parse_polygon_string(text.get<std::string>(), where);
      for (std::size_t k = 0; k + 1 < p.coords.size(); k += 2) p.coords[k] *= width, p.coords[k + 1] *= height;
      polygons.push_back(std::move(p.coords));
    }
    out[key] = std::move(polygons);
  }
  return out;
}

using FramePolygons = std::map<std::string, std::vector<std::vector<double>>>;

// The polygons of every file of a clip, by frame key, read on every core
// (the clip's masks are loaded already; this is the second read of the
// files). An error names the first bad file in frame order.
std::map<int, FramePolygons> clip_polygons(const ClipAnnotationData& clip) {
  std::vector<const std::pair<const int, FrameRecord>*> records;
  for (const auto& entry : clip) records.push_back(&entry);
  std::vector<FramePolygons> polygons(records.size());
  std::vector<std::exception_ptr> errors(records.size());
  const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 8);
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      for (std::size_t i = t; i < records.size(); i += threads) {
        try {
          const FrameRecord& r = records[i]->second;
          const cv::Size size = r.masks_dict.empty() ? cv::Size() : r.masks_dict.begin()->second.size();
          polygons[i] = polygons_of(r.json_path, size.width, size.height);
        } catch (...) {
          errors[i] = std::current_exception();
        }
      }
    });
  }
  for (std::thread& t : pool) t.join();
  for (const std::exception_ptr& e : errors) {
    if (e) std::rethrow_exception(e);
  }
  std::map<int, FramePolygons> out;
  for (std::size_t i = 0; i < records.size(); ++i) out.emplace(records[i]->first, std::move(polygons[i]));
  return out;
}

}  // namespace

ExportSummary export_tracks(const std::vector<std::string>& clips, TrackFormat format, const std::string& out,
                            const FrameTimeSource& times) {
  refuse_output_inside_clips(out, clips);
  const std::string name = clips.empty() ? "" : std::filesystem::path(clips.front()).lexically_normal().filename().string();
  std::unique_ptr<TrackWriter> writer = format == TrackFormat::kMot    ? mot_writer(out)
                                        : format == TrackFormat::kCvat ? cvat_writer(out, name)
                                                                       : coco_writer(out, format == TrackFormat::kCocoRle);
  ExportSummary summary;
  std::set<std::string> identities;
  std::size_t frames = 0;
  std::int64_t clip_offset = 0, next_index = 0;  // the clip's first index minus its first file number
  std::optional<std::size_t> polygons_clip;  // the clip whose polygons are read
  std::map<int, FramePolygons> clip_polygons_by_key;
  summary.notes = stream_clips(clips, times, [&](const StreamFrame& f) {
    if (polygons_clip != f.clip_index) {
      // The previous clip's polygons are freed before the next clip's are
      // read (the stream gives memory back when the process grew).
      clip_polygons_by_key.clear();
      clip_polygons_by_key = clip_polygons(*f.clip_data);
      polygons_clip = f.clip_index;
      clip_offset = (f.clip_index == 0 ? std::max<std::int64_t>(f.frame_number, 0) : next_index) - f.frame_number;
    }
    ExportFrame e;
    e.index = static_cast<std::size_t>(clip_offset + f.frame_number);
    next_index = static_cast<std::int64_t>(e.index) + 1;
    ++frames;
    e.clip = *f.clip;
    e.image_path = f.record->image_path;
    e.frame_key = f.frame_number;
    e.width = f.size.width;
    e.height = f.size.height;
    e.time = f.time;
    FramePolygons& polygons = clip_polygons_by_key.at(f.frame_key);
    for (const std::string& key : *f.identities) {
      if (!f.record->masks_dict.contains(key) || f.record->masks_dict.at(key).empty()) {
        e.absent.push_back(key);
        continue;
      }
      const Mask* mask = &f.record->masks_dict.at(key);
      ExportObject o;
      o.key = key;
      o.id = export_id_of(key, f.record->json_path);
      o.polygons = std::move(polygons[key]);
      o.box = mask->box();
      o.area = mask->area();
      o.mask = mask;
      identities.insert(key);
      e.objects.push_back(std::move(o));
    }
    summary.objects += e.objects.size();
    writer->frame(e);
  });
  summary.frames = frames;
  summary.identities = identities.size();
  summary.mapping_path = writer->finish();
  return summary;
}

}  // namespace pelk
