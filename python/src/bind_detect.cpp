// First-frame detection for Python: the pen polygon, the detection filter,
// mask drawing, the clip initializer (with the caller's Python models) and
// the stand-in box tracker.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/detect/box_tracker.hpp"
#include "pelk_utils/detect/detection_filter.hpp"
#include "pelk_utils/detect/drawing.hpp"
#include "pelk_utils/detect/initializer.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "py_models.hpp"

namespace pelk::python {

namespace {

py::list polygon_object(const PenPolygon& polygon) {
  py::list points;
  for (const auto& p : polygon) {
    py::list xy;
    xy.append(number_object(p.x));
    xy.append(number_object(p.y));
    points.append(xy);
  }
  return points;
}

PenPolygon polygon_from(const py::handle& obj) {
  PenPolygon polygon;
  for (const py::handle point : obj) {
    const auto xy = py::list(py::reinterpret_borrow<py::object>(point));
    if (xy.size() != 2) value_error("polygon_points: every point must be [x, y]");
    polygon.push_back({number_from(xy[0], "polygon_points"), number_from(xy[1], "polygon_points")});
  }
  return polygon;
}

DetectionResult detection_result_from(const py::handle& obj, std::size_t index) {
  const auto bridge = py::module_::import("pelk_utils._bridge");
  const std::string where = "gdino_results[" + std::to_string(index) + "]";
  DetectionResult r;
  const auto scores = py::array_t<float, py::array::forcecast>::ensure(bridge.attr("to_numpy")(obj["scores"]).attr("reshape")(-1));
  r.scores.assign(scores.data(), scores.data() + scores.size());
  for (const py::handle label : obj["labels"]) r.labels.push_back(py::str(label).cast<std::string>());
  r.boxes = boxes_from(obj["boxes"], where + "['boxes']");
  return r;
}

py::array rgba(const cv::Mat& bgra) { return array_from_mat(swap_red_blue(bgra)); }

// Converts a caller's image (grey, RGB or RGBA, as PIL gives it) to the
// library's channel order.
cv::Mat bgr_from_rgb_image(const py::object& image) { return swap_red_blue(image_from_array(image, "image")); }

// The stand-in tracker with the Python models it calls.
class PythonBoxTracker {
 public:
  PythonBoxTracker(py::object predictor, const py::object& initial, const py::object& processor,
                   const py::object& model)
      : predictor_(std::move(predictor)) {
    if (!processor.is_none()) processor_ = std::make_unique<PyDetectionProcessor>(processor);
    if (!model.is_none()) model_ = std::make_unique<PyGroundingModel>(model);
    tracker_ = std::make_unique<BoxPropagationTracker>(predictor_, masks_from_object(initial, "initial"),
                                                       processor_.get(), model_.get());
  }
  std::vector<Mask> track(const py::object& image) {
    const cv::Mat rgb = image_from_array(image, "image");
    if (rgb.channels() != 3) value_error("image: expected an H x W x 3 RGB image");
    return tracker_->track(swap_red_blue(rgb));
  }

 private:
  PyImagePredictor predictor_;
  std::unique_ptr<PyDetectionProcessor> processor_;
  std::unique_ptr<PyGroundingModel> model_;
  std::unique_ptr<BoxPropagationTracker> tracker_;
};

}  // namespace

void bind_detect(py::module_& m) {
  m.def("draw_pen",
        [](const FsPath& image_path, const FsPath& json_path, bool drawout) {
          PenDrawing d;
          reraise_missing_files({json_path, drawout ? image_path.bytes : ""}, [&] { d = draw_pen(image_path, json_path, drawout); });
          py::object image = d.image.empty() ? py::object(py::none()) : py::object(array_from_mat(swap_red_blue(d.image)));
          return py::make_tuple(image, polygon_object(d.polygon_points));
        },
        py::arg("image_path"), py::arg("json_path"), py::arg("drawout") = false,
        "draw_pen(image_path, json_path, drawout=False) -> (image, polygon_points)\n\n"
        "Reads the pen polygon (a list of [x, y], integers kept) from json_path; with drawout also returns the frame "
        "as an H x W x 3 uint8 RGB array with the outline drawn in red, else None.");
  m.def("calculate_pen_intersection_ratio",
        [](const py::object& polygon_points, const py::object& boxes, double ratio_threshold) {
          const auto r = calculate_pen_intersection_ratio(polygon_from(polygon_points), boxes_from(boxes, "boxes"), ratio_threshold);
          return py::make_tuple(r.intersection_ratio_list, r.in_pen_index);
        },
        py::arg("polygon_points"), py::arg("boxes"), py::arg("ratio_threshold"),
        "calculate_pen_intersection_ratio(polygon_points, boxes, ratio_threshold) -> (intersection_ratio_list, "
        "in_pen_index)\n\nPercent of each box [x_min, y_min, x_max, y_max] inside the pen, and whether it reaches "
        "ratio_threshold.");
  m.def("get_pen_json_path",
        [](const FsPath& video_dir, const std::optional<FsPath>& custom) {
          return optional_path(get_pen_json_path(video_dir, custom ? std::optional<std::string>(custom->bytes) : std::nullopt));
        },
        py::arg("video_dir"), py::arg("custom_pen_json_path") = py::none(),
        "get_pen_json_path(video_dir, custom_pen_json_path=None) -> str | None\n\n"
        "Returns custom_pen_json_path when given, else the camera's pen file under 'pen_polygons', or None.");
  m.def("get_in_pen_mask",
        [](int frame_idx, const py::object& test_mask, const FsPath& pen_json_path,
           const std::vector<FsPath>& frame_names) {
          const Mask mask = mask_from_object(test_mask, "test_mask");
          Mask out;
          reraise_missing_files({pen_json_path}, [&] {
            ReleaseGil release;
            out = get_in_pen_mask(frame_idx, mask, pen_json_path, path_bytes(frame_names));
          });
          return out;
        },
        py::arg("frame_idx"), py::arg("test_mask"), py::arg("pen_json_path"), py::arg("frame_names"),
        "get_in_pen_mask(frame_idx, test_mask, pen_json_path, frame_names) -> Mask\n\n"
        "Returns test_mask with every pixel outside the pen polygon cleared.");
  m.def("process_gdino_results",
        [](const py::object& gdino_results, const std::string& target_label) {
          std::vector<DetectionResult> results;
          std::size_t i = 0;
          for (const py::handle r : gdino_results) results.push_back(detection_result_from(r, i++));
          const auto f = process_gdino_results(results, target_label);
          return py::make_tuple(boxes_array(f.boxes), py::array_t<float>(f.scores.size(), f.scores.data()), f.labels);
        },
        py::arg("gdino_results"), py::arg("target_label") = "pig",
        "process_gdino_results(gdino_results, target_label='pig') -> (boxes, scores, labels)\n\n"
        "Takes element 0 of the detector's post-processed results (dicts with 'scores', 'labels', 'boxes'; tensors or "
        "arrays) and returns its detections sorted top to bottom, restricted to target_label when any carries it.");
  m.def("draw_masks_on_image",
        [](const py::object& image, const py::object& masks) {
          const cv::Mat bgr = bgr_from_rgb_image(image);
          const auto list = masks_from_object(masks, "masks");
          cv::Mat out;
          {
            ReleaseGil release;
            out = draw_masks_on_image(bgr, list);
          }
          return rgba(out);
        },
        py::arg("image"), py::arg("masks"),
        "draw_masks_on_image(image, masks) -> numpy.ndarray\n\n"
        "Returns image (uint8 H x W grey, H x W x 3 RGB or H x W x 4 RGBA) as a new H x W x 4 RGBA array with each "
        "mask filled in its position's colour at half transparency.");
  m.def("img_bbx_drawing",
        [](const py::object& image, const py::object& mask_dict) {
          const cv::Mat bgr = bgr_from_rgb_image(image);
          const MaskDict masks = mask_dict_from_object(mask_dict, "mask_dict");
          cv::Mat out;
          {
            ReleaseGil release;
            out = img_bbx_drawing(bgr, masks);
          }
          return rgba(out);
        },
        py::arg("image"), py::arg("mask_dict"),
        "img_bbx_drawing(image, mask_dict) -> numpy.ndarray\n\n"
        "Returns draw_masks_on_image of the dict's masks plus each mask's box and a label plate with its key, as an "
        "H x W x 4 RGBA array.");
  m.def("initializer",
        [](const FsPath& video_dir, const std::vector<FsPath>& frame_paths, const py::object& processor,
           const py::object& grounding_model, const py::object& device, const py::object& image_predictor,
           int start_index, int step, double gdino_thr, int close_set_num,
           const std::optional<FsPath>& custom_pen) -> py::object {
          const std::vector<std::string> frame_names = path_bytes(frame_paths);
          const std::optional<std::string> custom_pen_json_path =
              custom_pen ? std::optional<std::string>(custom_pen->bytes) : std::nullopt;
          PyDetectionProcessor p(processor);
          PyGroundingModel g(grounding_model);
          PyImagePredictor s(image_predictor);
          std::optional<InitializedClip> clip;
          reraise_missing_files(frame_names, [&] {
            clip = initializer(video_dir, frame_names, p, g, py::str(device).cast<std::string>(), s, start_index, step,
                               gdino_thr, close_set_num, custom_pen_json_path);
          });
          if (!clip) return py::make_tuple(py::none(), py::none(), py::none(), py::none());
          return py::make_tuple(clip->masks, frame_from_table(clip->intersections_df), clip->ann_frame_idx,
                                rgba(clip->annotated_frame));
        },
        py::arg("video_dir"), py::arg("frame_names"), py::arg("processor"), py::arg("grounding_model"),
        py::arg("device"), py::arg("image_predictor"), py::arg("start_index") = 0, py::arg("step") = 10,
        py::arg("gdino_thr") = 0.25, py::arg("close_set_num") = 10, py::arg("custom_pen_json_path") = py::none(),
        "initializer(video_dir, frame_names, processor, grounding_model, device, image_predictor, start_index=0, "
        "step=10, gdino_thr=0.25, close_set_num=10, custom_pen_json_path=None)\n"
        "    -> (masks, intersections_df, ann_frame_idx, annotated_frame)\n\n"
        "Examines frames start_index, start_index + step, ... and returns, for the first with exactly close_set_num "
        "animals apart, their masks (Box0, Box1, ... top to bottom), the intersections table of all segmented boxes, "
        "the frame's index and an RGBA picture; (None, None, None, None) when none qualifies.\n"
        "processor/grounding_model: a Grounding-DINO-style pair (processor(images=, text='pig.', "
        "return_tensors='pt'), grounding_model(**inputs), processor.post_process_grounded_object_detection(...)); "
        "image_predictor: a SAM-2-style predictor (set_image, predict). Model errors pass through.");

  py::class_<PythonBoxTracker>(m, "BoxPropagationTracker", R"doc(
A simple stand-in for a tracker (what `pelk track` uses): every frame is
segmented with each object's box from the previous frame; objects lost or
merged are re-acquired from fresh detections near where they were last seen.
It follows one sequence of frames: give each thread its own (a second thread
calling track while one runs raises RuntimeError).)doc")
      .def(py::init<py::object, const py::object&, const py::object&, const py::object&>(),
           py::arg("image_predictor"), py::arg("initial_masks"), py::arg("processor") = py::none(),
           py::arg("grounding_model") = py::none(),
           "BoxPropagationTracker(image_predictor, initial_masks, processor=None, grounding_model=None)")
      .def("track",
           [](PythonBoxTracker& t, const py::object& image) {
             const InUse guard(&t, "BoxPropagationTracker", InUse::Access::kWrite);
             return t.track(image);
           },
           py::arg("image"),
           "track(image) -> list[Mask]\n\nSegments the next frame (H x W x 3 uint8 RGB); one mask per object, in "
           "identity order (empty where lost).");
}

}  // namespace pelk::python
