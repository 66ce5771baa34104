// Video preparation for Python: the catalogue (a pandas table) and the frame
// extraction. Long work runs without the GIL; its lines go to sys.stdout.
#include "convert.hpp"

#include <array>
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/video/catalogue.hpp"
#include "pelk_utils/video/video_processor.hpp"

namespace pelk::python {

namespace {

py::object catalogue_frame(const CatalogueTable& table) {
  py::list labels, camera, date, time, path, name;
  for (const auto& row : table) {
    labels.append(row.label);
    camera.append(row.camera_number);
    date.append(row.date);
    time.append(row.time);
    path.append(path_str(row.file_path));
    name.append(row.video_name);
  }
  py::dict columns;
  const py::list lists[] = {camera, date, time, path, name};
  for (std::size_t i = 0; i < kCatalogueColumns.size(); ++i) {
    columns[py::str(kCatalogueColumns[i])] = py::module_::import("pandas").attr("Series")(lists[i], py::arg("dtype") = "object", py::arg("index") = labels);
  }
  return py::module_::import("pandas").attr("DataFrame")(columns, py::arg("index") = labels,
                                                         py::arg("columns") = kCatalogueColumns);
}

CatalogueTable catalogue_from(const py::object& df) {
  if (!py::hasattr(df, "columns") || !py::hasattr(df, "index")) {
    throw py::type_error("df: expected the catalogue DataFrame (get_filtered_video_dataframe), got " + type_name(df));
  }
  CatalogueTable table;
  for (const auto& column : kCatalogueColumns) {
    if (!py::bool_(df.attr("columns").attr("__contains__")(column))) {
      throw py::key_error("df: the catalogue has no column '" + column + "'");
    }
  }
  const py::list labels = df.attr("index").attr("tolist")();
  auto column = [&](const std::string& name) { return df[py::str(name)].attr("tolist")().cast<py::list>(); };
  const py::list camera = column("Camera Number"), date = column("Date"), time = column("Time"),
                 path = column("File Path"), name = column("Video Name");
  for (std::size_t i = 0; i < labels.size(); ++i) {
    CatalogueRow row;
    // Any index works; a row label that is no count is kept by position.
    row.label = PyLong_Check(labels[i].ptr()) && labels[i].cast<long long>() >= 0 ? labels[i].cast<std::size_t>() : i;
    row.camera_number = py::str(camera[i]).cast<std::string>();
    row.date = py::str(date[i]).cast<std::string>();
    row.time = py::str(time[i]).cast<std::string>();
    row.file_path = py::cast<FsPath>(path[i]).bytes;
    row.video_name = py::str(name[i]).cast<std::string>();
    table.push_back(std::move(row));
  }
  return table;
}

py::object crop_tuple(const CropRect& r) { return py::make_tuple(r.x1, r.y1, r.x2, r.y2); }

CropRect crop_from(const py::handle& obj) {
  const py::list v = sequence_of(obj, "camera_crop_coords", "(x1, y1, x2, y2)");
  if (v.size() != 4) value_error("camera_crop_coords: a crop is (x1, y1, x2, y2), got " + std::to_string(v.size()) + " numbers");
  std::array<int, 4> c{};
  for (std::size_t i = 0; i < 4; ++i) c[i] = static_cast<int>(whole_number(v[i], "camera_crop_coords"));
  return {c[0], c[1], c[2], c[3]};
}

py::dict crops_object(const std::map<std::optional<std::string>, CropRect>& crops) {
  py::dict dict;
  for (const auto& [camera, rect] : crops) dict[camera ? py::object(py::str(*camera)) : py::object(py::none())] = crop_tuple(rect);
  return dict;
}

std::map<std::optional<std::string>, CropRect> crops_from(const py::handle& obj) {
  std::map<std::optional<std::string>, CropRect> crops;
  if (obj.is_none()) return crops;
  for (const py::handle item : mapping_items(obj, "camera_crop_coords", "a dict camera number -> (x1, y1, x2, y2)")) {
    const auto pair = item.cast<py::tuple>();
    crops[pair[0].is_none() ? std::nullopt : std::optional<std::string>(py::str(pair[0]).cast<std::string>())] =
        crop_from(pair[1]);
  }
  return crops;
}

void bind_metadata(py::module_& m) {
  const VideoMetadata defaults;
  constexpr const char* kName = "VideoMetadata";
  py::class_<VideoMetadata> cls(m, "VideoMetadata",
                                "The camera recordings under base_dir, catalogued and filtered. Safe to share "
                                "between threads; changing a field while another thread catalogues raises "
                                "RuntimeError.");
  cls
      .def(py::init([](const FsPath& base_dir, const std::vector<FsPath>& sub_dirs, std::string filter_start,
                       std::string filter_end, int sample_step, int top_n, std::string match_pattern,
                       std::optional<std::string> camera_number) {
             return VideoMetadata{base_dir.bytes, path_bytes(sub_dirs), std::move(filter_start),
                                  std::move(filter_end), sample_step, top_n, std::move(match_pattern),
                                  std::move(camera_number)};
           }),
           py::arg("base_dir"), py::arg("sub_dirs"), py::arg("filter_start") = defaults.filter_start,
           py::arg("filter_end") = defaults.filter_end, py::arg("sample_step") = defaults.sample_step,
           py::arg("top_n") = defaults.top_n, py::arg("match_pattern") = defaults.match_pattern,
           py::arg("camera_number") = py::none(),
           "VideoMetadata(base_dir, sub_dirs, filter_start='06:00:00', filter_end='17:00:00', sample_step=3, "
           "top_n=-1, match_pattern=<camera file pattern>, camera_number=None)")
      .def("get_filtered_video_dataframe",
           [kName](const VideoMetadata& v) {
             CatalogueTable table;
             const InUse guard(&v, kName, InUse::Access::kRead);
             {
               ReleaseGil release;
               table = v.get_filtered_video_dataframe();
             }
             return catalogue_frame(table);
           },
           "get_filtered_video_dataframe() -> pandas.DataFrame\n\n"
           "Returns the recordings with columns 'Camera Number', 'Date', 'Time', 'File Path', 'Video Name' (row labels: "
           "positions in the unfiltered table), times strictly inside the window, thinned by sample_step, one camera "
           "when camera_number is set, the first top_n rows; prints the paths.");
  def_guarded_path(cls, "base_dir", &VideoMetadata::base_dir, kName, "The folder holding the camera sub-folders (str).");
  cls.def_property(
      "sub_dirs",
      [kName](const VideoMetadata& v) {
        const InUse guard(&v, kName, InUse::Access::kRead);
        return path_list(v.sub_dirs);
      },
      [kName](VideoMetadata& v, const std::vector<FsPath>& dirs) {
        const InUse guard(&v, kName, InUse::Access::kWrite);
        v.sub_dirs = path_bytes(dirs);
      },
      "The sub-folders of base_dir to list (a list of str).");
  def_guarded_field(cls, "filter_start", &VideoMetadata::filter_start, kName,
                    "Earliest start time of day, 'HH:MM:SS', exclusive (str).");
  def_guarded_field(cls, "filter_end", &VideoMetadata::filter_end, kName,
                    "Latest start time of day, 'HH:MM:SS', exclusive (str).");
  def_guarded_field(cls, "match_pattern", &VideoMetadata::match_pattern, kName,
                    "Regular expression a recording's file name must match (str).");
  def_guarded_field(cls, "sample_step", &VideoMetadata::sample_step, kName,
                    "Keep every n-th recording after filtering (int; 0 keeps all).");
  def_guarded_field(cls, "top_n", &VideoMetadata::top_n, kName, "Keep the first n recordings (int; below 1 keeps all).");
  def_guarded_field(cls, "camera_number", &VideoMetadata::camera_number, kName,
                    "Keep only this camera's recordings (str), or None for all.");
}

void bind_processor(py::module_& m) {
  constexpr const char* kName = "VideoProcessor";
  using Access = InUse::Access;
  py::class_<VideoProcessor> cls(m, "VideoProcessor",
                                 "Cuts camera recordings into minute ranges of cropped JPEG frames (crops cached per "
                                 "camera). One processor may serve a pool of threads cutting several recordings at "
                                 "once: its crop cache is shared under a lock (a camera's crop is found once), and "
                                 "the frames are those of serial cutting; changing a setting while it cuts raises "
                                 "RuntimeError. Ctrl-C stops an extraction between frames; the unfinished range is "
                                 "redone by the next run.");
  def_guarded_field(cls, "resize_dim", &VideoProcessor::resize_dim, kName,
                    "(width, height) to resize saved frames to (the height is used), or None to keep their size.");
  def_guarded_field(cls, "frame_skip", &VideoProcessor::frame_skip, kName, "Save every n-th frame (int, 1 or more).");
  def_guarded_path(cls, "output_dir_base", &VideoProcessor::output_dir_base, kName, "The root of the frame tree (str).");
  def_guarded_field(cls, "crop", &VideoProcessor::crop, kName, "Crop frames at the orange marker (bool).");
  def_guarded_field(cls, "left_crop", &VideoProcessor::left_crop, kName,
                    "Keep the part left of the marker instead of the right part (bool or None).");
  cls
      .def(py::init([](std::optional<std::pair<int, int>> resize_dim, int frame_skip, const py::object& time_step,
                       const FsPath& output_dir_base, const py::object& camera_crop_coords, bool crop,
                       std::optional<bool> left_crop) {
             VideoProcessor p;
             p.resize_dim = resize_dim;
             p.frame_skip = frame_skip;
             p.time_step = number_from(time_step, "time_step");
             p.output_dir_base = output_dir_base.bytes;
             p.camera_crop_coords = crops_from(camera_crop_coords);
             p.crop = crop;
             p.left_crop = left_crop;
             return p;
           }),
           py::arg("resize_dim") = py::none(), py::arg("frame_skip") = 1, py::arg("time_step") = 0.1,
           py::arg("output_dir_base") = FsPath{kDefaultFramesDir}, py::arg("camera_crop_coords") = py::none(),
           py::arg("crop") = true, py::arg("left_crop") = false,
           "VideoProcessor(resize_dim=None, frame_skip=1, time_step=0.1, output_dir_base='pelk_frames', "
           "camera_crop_coords=None (a new empty dict), crop=True, left_crop=False)")
      .def_property("time_step",
                    [kName](const VideoProcessor& p) {
                      const InUse guard(&p, kName, Access::kRead);
                      return number_object(p.time_step);
                    },
                    [kName](VideoProcessor& p, const py::object& v) {
                      const Number n = number_from(v, "time_step");
                      const InUse guard(&p, kName, Access::kWrite);
                      p.time_step = n;
                    },
                    "Minutes per range (int or float, as given; it names the range folders).")
      .def_property("camera_crop_coords",
                    [kName](const VideoProcessor& p) {
                      const InUse guard(&p, kName, Access::kRead);
                      // Cutting threads may fill the cache meanwhile; wait for
                      // its lock without holding the GIL they print through.
                      std::map<std::optional<std::string>, CropRect> crops;
                      {
                        ReleaseGil release;
                        const std::lock_guard lock(*p.crop_cache_lock);
                        crops = p.camera_crop_coords;
                      }
                      return crops_object(crops);
                    },
                    [kName](VideoProcessor& p, const py::object& v) {
                      auto crops = crops_from(v);
                      const InUse guard(&p, kName, Access::kWrite);
                      p.camera_crop_coords = std::move(crops);
                    },
                    "Camera number (or None) -> (x1, y1, x2, y2); reading gives a copy, assign a dict to change it.")
      .def("get_video_duration",
           [kName](VideoProcessor& p, const FsPath& video_path) {
             const InUse guard(&p, kName, Access::kRead);
             ReleaseGil release;
             return p.get_video_duration(video_path);
           },
           py::arg("video_path"),
           "get_video_duration(video_path) -> float\n\nReturns the duration in minutes (0 when the video cannot be "
           "opened), printing its frame rate, frame count and duration.")
      .def("find_orange_region",
           [kName](VideoProcessor& p, const py::object& frame) -> py::object {
             const cv::Mat bgr = image_from_array(frame, "frame");
             const InUse guard(&p, kName, Access::kRead);
             if (bgr.channels() != 3) value_error("frame: expected an H x W x 3 BGR frame");
             const auto r = p.find_orange_region(bgr);
             return r ? crop_tuple(*r) : py::none();
           },
           py::arg("frame"),
           "find_orange_region(frame) -> (x1, y1, x2, y2) | None\n\nReturns the box (x2, y2 exclusive) of the orange "
           "marker in frame (uint8 H x W x 3, BGR as a video decoder or cv2 gives it), or None.")
      .def("crop_video_to_frames",
           [kName](VideoProcessor& p, const FsPath& video_path, const FsPath& output_dir,
                   const py::object& start_min, const py::object& end_min,
                   const std::optional<std::string>& camera_number, bool crop) {
             const Number start = number_from(start_min, "start_min"), end = number_from(end_min, "end_min");
             const InUse guard(&p, kName, Access::kRead);  // shared: the crop cache has its own lock
             ReleaseGil release;
             p.crop_video_to_frames(video_path, output_dir, start, end, camera_number, crop);
           },
           py::arg("video_path"), py::arg("output_dir"), py::arg("start_min") = 10, py::arg("end_min") = 12,
           py::arg("camera_number") = py::none(), py::arg("crop") = true,
           "crop_video_to_frames(video_path, output_dir, start_min=10, end_min=12, camera_number=None, crop=True)\n\n"
           "Writes the frames of minutes [start_min, end_min) as output_dir/0000.jpg, ..., cropped by the camera's "
           "rectangle.")
      .def("process_videos_to_frames",
           [kName](VideoProcessor& p, const py::object& df) {
             const CatalogueTable table = catalogue_from(df);
             const InUse guard(&p, kName, Access::kRead);  // shared: the crop cache has its own lock
             ReleaseGil release;
             p.process_videos_to_frames(table);
           },
           py::arg("df"),
           "process_videos_to_frames(df) -> None\n\nCuts every recording of the catalogue DataFrame into ranges of "
           "time_step minutes under output_dir_base/Date/Video Name/...; finished ranges are skipped.");
}

}  // namespace

void bind_video(py::module_& m) {
  m.def("list_all_files",
        [](const FsPath& directory, const std::optional<std::string>& ext) {
          std::vector<std::string> files;
          reraise_missing_files({directory}, [&] {
            ReleaseGil release;
            files = list_all_files(directory, ext);
          });
          return path_list(files);
        },
        py::arg("directory"), py::arg("ext") = py::none(),
        "list_all_files(directory, ext=None) -> list[str]\n\nReturns every file under directory whose name ends with "
        "ext (all files when None), folders top-down, files sorted.");
  bind_metadata(m);
  bind_processor(m);
}

}  // namespace pelk::python
