// Bindings of the tracks table and the exchange formats: columns cross as
// lists and numpy arrays; the pure-Python layer (_tracks.py) makes the
// pandas DataFrame and the xarray Dataset.
#include <cmath>
#include <limits>

#include "bindings.hpp"
#include "convert.hpp"
#include "pelk_utils/behaviour/behaviour.hpp"
#include "pelk_utils/interchange/track_export.hpp"
#include "pelk_utils/tracks/tracks_table.hpp"
#include "pelk_utils/video/catalogue.hpp"

namespace pelk::python {
namespace {

std::vector<std::string> folder_list(const py::handle& folders) {
  std::vector<std::string> out;
  if (PyUnicode_Check(folders.ptr()) || PyBytes_Check(folders.ptr()) || py::hasattr(folders, "__fspath__")) {
    out.push_back(folders.cast<FsPath>().bytes);  // one folder
  } else {
    for (const py::handle f : sequence_of(folders, "folders", "a list of clip folders (str or os.PathLike)")) {
      out.push_back(f.cast<FsPath>().bytes);
    }
  }
  if (out.empty()) value_error("folders: give at least one clip folder");
  for (const std::string& f : out) require_folder(FsPath{f}, "folders");
  return out;
}

FrameTimeSource times_of(const py::object& fps, const std::optional<FsPath>& videos) {
  FrameTimeSource times;
  if (!fps.is_none()) {
    const double rate = number_value(fps, "fps");
    if (!(rate > 0) || !std::isfinite(rate)) value_error("fps: expected a frame rate above 0, got " + format_number(rate));
    times.fps = rate;
  }
  if (videos) {
    require_folder(*videos, "videos");
    times.recording_rates = recording_rates(videos->bytes);
    times.recording_files = recording_files(videos->bytes);
    times.read_frame_times = recording_frame_times;
  }
  return times;
}

}  // namespace

void bind_tracks(py::module_& m) {
  m.def("_behaviour_columns",
        [](const py::object& folders, const std::optional<FsPath>& zones, const std::string& bin, const py::object& fps,
           const std::optional<FsPath>& videos, const py::object& px_per_metre, double jitter_px, double active,
           int max_gap, int contact_px, const std::optional<FsPath>& pen, const py::object& pen_size, double min_bout) {
          BehaviourOptions o;
          const std::vector<std::string> clips = folder_list(folders);
          o.times = times_of(fps, videos);
          double length = 0;
          try {
            length = parse_bin_length(bin);
          } catch (const std::invalid_argument& e) {
            value_error(std::string("bin: ") + e.what());
          }
          if (length < 0) {
            o.bin_frames = static_cast<std::int64_t>(-length);
          } else {
            o.bin_seconds = length;
            // Without frame times a bin in time is counted in frames at the
            // assumed rate (the result's notes say "bins: N frames").
            if (!o.times.fps && o.times.recording_rates.empty()) {
              o.bin_frames = std::max<std::int64_t>(1, std::llround(length * kAssumedFrameRate));
            }
          }
          if (pen && pen_size.is_none()) value_error("pen gives the scale only with pen_size (the pen's size in metres)");
          if (!px_per_metre.is_none()) o.px_per_metre = number_value(px_per_metre, "px_per_metre");
          std::optional<std::pair<double, double>> size;
          if (!pen_size.is_none()) {
            if (!pen) value_error("pen_size needs pen (the pen polygon it measures)");
            if (o.px_per_metre) value_error("give pen_size or px_per_metre, not both");
            if (py::isinstance<py::str>(pen_size)) {
              try {
                size = parse_pen_size(pen_size.cast<std::string>());
              } catch (const std::invalid_argument& e) {
                value_error(std::string("pen_size: ") + e.what());
              }
            } else {
              const py::list pair = sequence_of(pen_size, "pen_size", "(width, length) in metres or 'WxL'");
              if (py::len(pair) != 2) value_error("pen_size must be (width, length) in metres, got " + std::to_string(py::len(pair)) + " numbers");
              size = std::pair{number_value(pair[0], "pen_size"), number_value(pair[1], "pen_size")};
              if (!(std::isfinite(size->first) && size->first > 0 && std::isfinite(size->second) && size->second > 0)) {
                value_error("pen_size must be two positive finite numbers of metres");
              }
            }
          }
          o.jitter_px = jitter_px;
          o.active_body_lengths = active;
          o.max_gap_frames = max_gap;
          o.contact_px = contact_px;
          o.min_activity_bout_s = min_bout;
          BehaviourResult r;
          {
            ReleaseGil release;
            if (zones) o.zones = read_zones(zones->bytes);
            if (size) o.px_per_metre = px_per_metre_of_pen(pen->bytes, *size);
            r = behaviour(clips, o);
          }
          py::dict values, contacts, summary;
          {
            std::vector<std::string> start, end, animal, measure, unit;
            std::vector<double> value;
            for (const BehaviourValue& v : r.values) {
              start.push_back(v.bin_start), end.push_back(v.bin_end), animal.push_back(v.animal);
              measure.push_back(v.measure), value.push_back(v.value), unit.push_back(v.unit);
            }
            values["bin_start"] = start, values["bin_end"] = end, values["animal"] = animal;
            values["measure"] = measure, values["value"] = value, values["unit"] = unit;
          }
          {
            std::vector<std::string> start, end, a, b;
            std::vector<std::int64_t> bouts;
            std::vector<double> time, longest;
            for (const ContactValue& c : r.contacts) {
              start.push_back(c.bin_start), end.push_back(c.bin_end), a.push_back(c.animal_a), b.push_back(c.animal_b);
              bouts.push_back(c.bouts), time.push_back(c.time), longest.push_back(c.longest);
            }
            contacts["bin_start"] = start, contacts["bin_end"] = end, contacts["animal_a"] = a, contacts["animal_b"] = b;
            contacts["bouts"] = bouts, contacts["contact_time"] = time, contacts["longest_bout"] = longest;
          }
          {
            std::vector<std::string> animal;
            std::vector<double> visible, missing, distance, speed, active_time, still, area, contact_time;
            std::vector<std::int64_t> bouts;
            std::vector<std::vector<double>> zone_time(r.zone_names.size());
            for (const AnimalSummary& s : r.summary) {
              animal.push_back(s.animal), visible.push_back(s.visible), missing.push_back(s.missing);
              distance.push_back(s.distance_px), speed.push_back(s.mean_speed_px), active_time.push_back(s.active);
              still.push_back(s.still), area.push_back(s.median_area_px), bouts.push_back(s.contact_bouts);
              contact_time.push_back(s.contact_time);
              for (std::size_t z = 0; z < zone_time.size(); ++z) zone_time[z].push_back(s.zone_time[z]);
            }
            summary["animal"] = animal, summary["visible"] = visible, summary["missing"] = missing;
            summary["distance_px"] = distance, summary["mean_speed_px"] = speed, summary["active"] = active_time;
            summary["still"] = still, summary["median_area_px"] = area;
            if (r.px_per_metre) {  // beside the pixels, as summary.csv has them
              std::vector<double> metres, metre_speed, square_metres;
              for (const AnimalSummary& s : r.summary) {
                metres.push_back(*s.distance_m), metre_speed.push_back(*s.mean_speed_m);
                square_metres.push_back(*s.median_area_m2);
              }
              summary["distance_m"] = metres, summary["mean_speed_m"] = metre_speed;
              summary["median_area_m2"] = square_metres;
            }
            summary["contact_bouts"] = bouts, summary["contact_time"] = contact_time;
            for (std::size_t z = 0; z < zone_time.size(); ++z) summary[py::str("zone:" + r.zone_names[z])] = zone_time[z];
          }
          return py::make_tuple(values, contacts, summary, r.time_unit, r.notes);
        },
        py::arg("folders"), py::arg("zones"), py::arg("bin"), py::arg("fps"), py::arg("videos"), py::arg("px_per_metre"),
        py::arg("jitter_px"), py::arg("active"), py::arg("max_gap"), py::arg("contact_px"), py::arg("pen"),
        py::arg("pen_size"), py::arg("min_bout"));

  m.def("_tracks_columns",
        [](const py::object& folders, const py::object& fps, const std::optional<FsPath>& pen,
           const std::optional<FsPath>& videos) {
          TracksOptions options;
          const std::vector<std::string> clips = folder_list(folders);
          options.times = times_of(fps, videos);
          if (pen) options.pen_json_path = pen->bytes;
          std::vector<std::string> clip, image, identity, time;
          std::vector<std::int64_t> frame_key;
          std::vector<bool> present, has_time;
          std::vector<double> seconds;
          constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
          std::vector<std::vector<double>> numbers(11);  // box (4), centroid (2), area, orientation, axes (2), in_pen
          std::vector<std::string> notes;
          {
            ReleaseGil release;
            notes = for_each_track_row(clips, options, [&](const TrackRow& r) {
              clip.push_back(*r.clip);
              frame_key.push_back(r.frame_key);
              image.push_back(*r.frame_image);
              identity.push_back(r.identity);
              has_time.push_back(r.time.has_value());
              time.push_back(r.time ? iso_time(*r.time) : std::string());
              seconds.push_back(r.time ? static_cast<double>(r.time->recording_start) + r.time->offset : kNan);
              present.push_back(r.shape.has_value());
              const MaskShape s = r.shape.value_or(MaskShape{});
              const double values[11] = {s.box[0], s.box[1], s.box[2], s.box[3], s.centroid_x, s.centroid_y,
                                         static_cast<double>(s.area), s.orientation, s.long_axis, s.short_axis,
                                         r.in_pen.value_or(kNan)};
              for (std::size_t i = 0; i < 11; ++i) numbers[i].push_back(r.shape || i == 10 ? values[i] : kNan);
            });
          }
          py::dict out;
          out["clip"] = py::cast(clip);
          out["frame_key"] = py::array_t<std::int64_t>(static_cast<py::ssize_t>(frame_key.size()), frame_key.data());
          out["frame_image"] = py::cast(image);
          py::list times;
          for (std::size_t i = 0; i < time.size(); ++i) times.append(has_time[i] ? py::object(py::str(time[i])) : py::none());
          out["time"] = times;
          out["identity"] = py::cast(identity);
          py::array_t<bool> flags(static_cast<py::ssize_t>(present.size()));
          for (std::size_t i = 0; i < present.size(); ++i) flags.mutable_at(static_cast<py::ssize_t>(i)) = present[i];
          out["present"] = flags;
          const char* names[11] = {"x_min", "y_min", "x_max", "y_max", "centroid_x", "centroid_y", "area",
                                   "orientation", "long_axis", "short_axis", "in_pen"};
          for (std::size_t i = 0; i < 11; ++i) {
            if (i == 10 && !pen) continue;
            out[names[i]] = py::array_t<double>(static_cast<py::ssize_t>(numbers[i].size()), numbers[i].data());
          }
          return py::make_tuple(out, py::cast(notes));
        },
        py::arg("folders"), py::arg("fps") = py::none(), py::arg("pen") = py::none(), py::arg("videos") = py::none());
  m.def("_export_tracks",
        [](const py::object& folders, const std::string& format, const FsPath& out, const py::object& fps,
           const std::optional<FsPath>& videos) {
          const auto kind = track_format_named(format);
          if (!kind) value_error("format: expected 'mot', 'cvat', 'coco' or 'coco-rle', got '" + format + "'");
          const std::vector<std::string> clips = folder_list(folders);
          const FrameTimeSource times = times_of(fps, videos);
          ExportSummary s;
          {
            ReleaseGil release;
            s = export_tracks(clips, *kind, out.bytes, times);
          }
          py::dict summary;
          summary["frames"] = s.frames;
          summary["objects"] = s.objects;
          summary["identities"] = s.identities;
          summary["mapping"] = s.mapping_path.empty() ? py::object(py::none()) : py::object(path_str(s.mapping_path));
          summary["notes"] = py::cast(s.notes);
          return summary;
        },
        py::arg("folders"), py::arg("format"), py::arg("out"), py::arg("fps") = py::none(),
        py::arg("videos") = py::none());
}

}  // namespace pelk::python
