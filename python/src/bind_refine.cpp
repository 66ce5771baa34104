// Mask refinement for Python: Mask_Refinement with its centroid history and
// the cleaning pass over a tracked clip (a dict frame -> {object id: mask},
// rewritten in place), and the mask view for review.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include <opencv2/imgproc.hpp>

#include "pelk_utils/refine/mask_refinement.hpp"

namespace pelk::python {

namespace {

CentroidHistory history_from(const py::handle& obj) {
  CentroidHistory history;
  if (obj.is_none()) return history;
  for (const py::handle item : mapping_items(obj, "prev_centroids", "a dict object id -> (x, y)")) {
    const auto pair = item.cast<py::tuple>();
    const std::string where = "prev_centroids[" + py::repr(pair[0]).cast<std::string>() + "]";
    const py::list xy = sequence_of(pair[1], where, "(x, y)");
    if (xy.size() != 2) value_error(where + ": a centroid is (x, y), got " + std::to_string(xy.size()) + " numbers");
    history[static_cast<int>(whole_number(pair[0], "prev_centroids key"))] = {number_value(xy[0], where),
                                                                              number_value(xy[1], where)};
  }
  return history;
}

// Throws py::value_error naming the argument when the arrays of one
// labelling disagree: labels the mask's size with values below num_labels,
// stats num_labels x 5, centroids num_labels x 2, best_idx a label.
void check_blob_arrays(int num_labels, const cv::Mat& labels, const cv::Mat& stats, const cv::Mat& centroids,
                       int best_idx, const Mask& mask) {
  const auto shape = [](const cv::Mat& a) { return "(" + std::to_string(a.rows) + ", " + std::to_string(a.cols) + ")"; };
  if (num_labels < 1) value_error("num_labels must be at least 1 (the background), got " + std::to_string(num_labels));
  if (labels.size() != mask.size()) {
    value_error("labels must be the mask's size (" + std::to_string(mask.size().height) + ", " +
                std::to_string(mask.size().width) + "), got " + shape(labels));
  }
  if (stats.rows != num_labels || stats.cols != 5) {
    value_error("stats must be num_labels x 5 (" + std::to_string(num_labels) + ", 5), got " + shape(stats));
  }
  if (centroids.rows != num_labels || centroids.cols != 2) {
    value_error("centroids must be num_labels x 2 (" + std::to_string(num_labels) + ", 2), got " + shape(centroids));
  }
  if (best_idx < 0 || best_idx >= num_labels) {
    value_error("best_idx must be a label 0.." + std::to_string(num_labels - 1) + ", got " + std::to_string(best_idx));
  }
  double low = 0, high = 0;
  if (!labels.empty()) cv::minMaxLoc(labels, &low, &high);
  if (low < 0 || high >= num_labels) {
    value_error("labels must hold labels 0.." + std::to_string(num_labels - 1) + ", found " +
                std::to_string(static_cast<long long>(low < 0 ? low : high)));
  }
}

py::dict history_object(const CentroidHistory& history) {
  py::dict dict;
  for (const auto& [id, c] : history) dict[py::int_(id)] = py::make_tuple(c.x, c.y);
  return dict;
}

cv::Mat binary_from(const py::object& obj, const std::string& what) {
  const cv::Mat image = image_from_array(py::module_::import("numpy").attr("asarray")(obj).attr("astype")("uint8"), what);
  if (image.channels() != 1) value_error(what + ": expected a single-channel H x W mask");
  return image;
}

// The labelling of get_main_blob on the whole frame: labels H x W, stats with
// frame coordinates.
py::tuple main_blob_tuple(const Mask& mask, const MainBlob& b) {
  cv::Mat labels = cv::Mat::zeros(mask.size(), CV_32S);
  cv::Mat stats = b.stats.clone();
  if (!b.labels.empty()) {
    b.labels.copyTo(labels(b.window));
    for (int i = 0; i < stats.rows; ++i) {
      stats.at<int>(i, cv::CC_STAT_LEFT) += b.window.x;
      stats.at<int>(i, cv::CC_STAT_TOP) += b.window.y;
    }
  }
  return py::make_tuple(b.num_labels, array_from_mat(stats), array_from_mat(b.centroids), b.min_area_threshold,
                        b.max_distance_threshold, b.best_idx, array_from_mat(labels));
}

}  // namespace

void bind_refine(py::module_& m) {
  py::class_<Mask_Refinement> cls(m, "Mask_Refinement", R"doc(
Reduces each tracked mask to the blob that belongs to the animal, chosen by
size and by where the animal was last seen (prev_centroids), plus the blobs
big and close enough to it.

An instance carries state from frame to frame (prev_centroids): give each
thread its own. Using one instance from a second thread while
process_video_segments runs on it raises RuntimeError.)doc");
  constexpr const char* kName = "Mask_Refinement";
  using Access = InUse::Access;
  def_guarded_field(cls, "MIN_AREA_RATIO", &Mask_Refinement::MIN_AREA_RATIO, kName,
                    "Blobs smaller than this share of the main blob's area are dropped (float).");
  def_guarded_field(cls, "MAX_DISTANCE_RATIOS", &Mask_Refinement::MAX_DISTANCE_RATIOS, kName,
                    "How far (in main-blob sizes) a kept blob may lie from the main blob (list of float).");
  def_guarded_field(cls, "MAX_PREV_DIST", &Mask_Refinement::MAX_PREV_DIST, kName,
                    "How far (pixels) the main blob may lie from the animal's last centroid (float).");
  def_guarded_path(cls, "custom_pen_json_path", &Mask_Refinement::custom_pen_json_path, kName,
                   "The pen polygon file the cleaning clips masks to (str).");
  cls
      .def(py::init([](double min_area_ratio, std::vector<double> max_distance_ratios, double max_prev_dist,
                       const FsPath& custom_pen_json_path) {
             return Mask_Refinement(min_area_ratio, std::move(max_distance_ratios), max_prev_dist,
                                    custom_pen_json_path.bytes);
           }),
           py::arg("min_area_ratio") = 0.3, py::arg("max_distance_ratios") = std::vector<double>{0.5, 1.5},
           py::arg("max_prev_dist") = 200, py::arg("custom_pen_json_path") = FsPath{"pen_polygon.json"},
           "Mask_Refinement(min_area_ratio=0.3, max_distance_ratios=[0.5, 1.5], max_prev_dist=200, "
           "custom_pen_json_path='pen_polygon.json')\n\nmax_distance_ratios is copied.")
      .def_property("prev_centroids",
                    [kName](const Mask_Refinement& r) {
                      const InUse guard(&r, kName, Access::kRead);
                      return history_object(r.prev_centroids);
                    },
                    [kName](Mask_Refinement& r, const py::object& v) {
                      auto history = history_from(v);
                      const InUse guard(&r, kName, Access::kWrite);
                      r.prev_centroids = std::move(history);
                    },
                    "Object id -> last centroid (x, y); reading gives a copy, assign a dict to change it.")
      .def_static("blob_shortest_distance",
                  [](const py::object& blob_mask1, const py::object& blob_mask2) {
                    return Mask_Refinement::blob_shortest_distance(binary_from(blob_mask1, "blob_mask1"),
                                                                   binary_from(blob_mask2, "blob_mask2"));
                  },
                  py::arg("blob_mask1"), py::arg("blob_mask2"),
                  "blob_shortest_distance(blob_mask1, blob_mask2) -> float\n\nReturns the smallest distance between "
                  "the external contour vertices of two uint8 0/1 masks, or inf.")
      .def("get_main_blob",
           [kName](const Mask_Refinement& r, const py::object& mask, const py::object& prev_centroids, int object_id) {
             const Mask m = mask_from_object(mask, "mask");
             const InUse guard(&r, kName, Access::kRead);
             return main_blob_tuple(m, r.get_main_blob(m, history_from(prev_centroids), object_id));
           },
           py::arg("mask"), py::arg("prev_centroids"), py::arg("object_id"),
           "get_main_blob(mask, prev_centroids, object_id)\n"
           "    -> (num_labels, stats, centroids, min_area_threshold, max_distance_threshold, best_idx, labels)\n\n"
           "Labels the mask's components (8-connected; labels an H x W int32 array) and chooses the main blob.")
      .def("get_dis_to_main_and_prev_blob",
           [kName](const Mask_Refinement& r, int num_labels, const py::object& labels, const py::object& stats,
              const py::object& centroids, double max_distance_threshold, double min_area_threshold, int best_idx,
              const py::object& prev_centroids, int object_id, int frame_idx, const py::object& mask,
              const py::object& video_segments) {
             auto as_mat = [](const py::object& obj, int type) {
               py::array a = py::module_::import("numpy").attr("ascontiguousarray")(obj, type == CV_32S ? "int32" : "float64");
               if (a.ndim() == 0 || a.ndim() > 2) return cv::Mat(0, 0, type);
               check_dimensions(a, "get_dis_to_main_and_prev_blob");
               const int cols = a.ndim() > 1 ? static_cast<int>(a.shape(1)) : 1;
               return cv::Mat(static_cast<int>(a.shape(0)), cols, type, const_cast<void*>(a.data())).clone();
             };
             const Mask m = mask_from_object(mask, "mask");
             const cv::Mat label_image = as_mat(labels, CV_32S), stat_rows = as_mat(stats, CV_32S),
                           centres = as_mat(centroids, CV_64F);
             check_blob_arrays(num_labels, label_image, stat_rows, centres, best_idx, m);
             const InUse guard(&r, kName, Access::kRead);
             TrackedClip first;
             const py::list keys = mapping_items(video_segments, "video_segments", "the tracked clip (a dict frame -> ...)");
             if (!keys.empty()) first.insert_or_assign(frame_key(keys[0].cast<py::tuple>()[0], "video_segments"), {});
             return r.get_dis_to_main_and_prev_blob(num_labels, label_image, stat_rows, centres, max_distance_threshold,
                                                    min_area_threshold, best_idx, history_from(prev_centroids),
                                                    object_id, frame_idx, m, first);
           },
           py::arg("num_labels"), py::arg("labels"), py::arg("stats"), py::arg("centroids"),
           py::arg("max_distance_threshold"), py::arg("min_area_threshold"), py::arg("best_idx"),
           py::arg("prev_centroids"), py::arg("object_id"), py::arg("frame_idx"), py::arg("mask"),
           py::arg("video_segments"),
           "get_dis_to_main_and_prev_blob(num_labels, labels, stats, centroids, max_distance_threshold, "
           "min_area_threshold, best_idx, prev_centroids, object_id, frame_idx, mask, video_segments) -> Mask\n\n"
           "Returns the cleaned mask: the main blob and the blobs big and close enough to it.")
      .def("process_video_segments",
           [kName](Mask_Refinement& r, const py::object& video_segments, const FsPath& video_dir,
                   const std::vector<FsPath>& frame_paths) {
             const std::vector<std::string> frame_names = path_bytes(frame_paths);
             TrackedClip clip = tracked_clip_from_dict(video_segments, "video_segments");
             const InUse guard(&r, kName, Access::kWrite);
             {
               ReleaseGil release;
               r.process_video_segments(clip, video_dir, frame_names);
             }
             for (const auto& [frame, objects] : clip) {
               py::object target = video_segments[py::int_(frame)];
               for (const auto& [id, mask] : objects) target[py::int_(id)] = mask;
             }
             return video_segments;
           },
           py::arg("video_segments"), py::arg("video_dir"), py::arg("frame_names"),
           "process_video_segments(video_segments, video_dir, frame_names) -> video_segments\n\n"
           "Cleans every mask of the tracked clip (dict frame -> {object id: mask}) in place: clipped to the pen, "
           "reduced to the animal's blobs; cleaned masks are pelk_utils.Mask. Runs without the GIL; Ctrl-C stops it "
           "between masks (video_segments then holds no change).");

  m.def("video_segments_mask_visual",
        [](const py::object& video_segments, int frame_idx, int object_id) {
          TrackedClip clip;
          const py::object frames = video_segments;
          const auto check_mapping = [](const py::handle& obj, const std::string& what, const char* expected) {
            if (!PyMapping_Check(obj.ptr()) || PySequence_Check(obj.ptr()) || !py::hasattr(obj, "__contains__")) {
              throw py::type_error(what + ": expected " + expected + ", got " + type_name(obj));
            }
          };
          check_mapping(frames, "video_segments", "a dict frame index -> dict object id -> mask");
          if (py::bool_(frames.attr("__contains__")(frame_idx))) {
            const py::object objects = frames[py::int_(frame_idx)];
            check_mapping(objects, "video_segments[" + std::to_string(frame_idx) + "]", "a dict object id -> mask");
            OrderedMap<int, Mask> one;
            if (py::bool_(objects.attr("__contains__")(object_id))) {
              one.insert_or_assign(object_id, mask_from_object(objects[py::int_(object_id)], "video_segments"));
            }
            clip.insert_or_assign(frame_idx, std::move(one));
          }
          video_segments_mask_visual(clip, frame_idx, object_id);
        },
        py::arg("video_segments"), py::arg("frame_idx"), py::arg("object_id"),
        "video_segments_mask_visual(video_segments, frame_idx, object_id) -> None\n\n"
        "Puts the object's mask into the current figure (pelk_utils.current_figure()) without presenting it.");
}

}  // namespace pelk::python
