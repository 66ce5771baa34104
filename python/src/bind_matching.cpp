// Cross-clip matching for Python: last-frame selection and the matcher (on
// the caller's dict of FrameRecord objects, changed in place as in C++),
// mask similarity, region features through the caller's predictor, and the
// overlap resolution.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/matching/last_frame.hpp"
#include "pelk_utils/matching/matcher.hpp"
#include "pelk_utils/matching/overlap_resolution.hpp"
#include "pelk_utils/matching/region_features.hpp"
#include "pelk_utils/matching/similarity.hpp"
#include "py_models.hpp"

namespace pelk::python {

namespace {

std::vector<std::optional<std::string>> box_keys_from(const py::handle& obj) {
  std::vector<std::optional<std::string>> keys;
  for (const py::handle item : obj) {
    if (item.is_none()) keys.emplace_back(std::nullopt);
    else keys.emplace_back(py::str(item).cast<std::string>());
  }
  return keys;
}

std::vector<std::optional<torch::Tensor>> features_from(const py::handle& obj) {
  std::vector<std::optional<torch::Tensor>> features;
  for (const py::handle item : obj) features.push_back(tensor_from_object(item));
  return features;
}

cv::Mat bgr_frame(const py::object& image) { return swap_red_blue(image_from_array(image, "image")); }

}  // namespace

void bind_matching(py::module_& m) {
  m.def("find_best_laste_frame",
        [](const py::object& laste_frame, int min_area, int max_attempts, const py::object& remove_stack_obs) {
          StdoutToPython out;
          ClipAnnotationData clip = clip_from_dict(laste_frame, "laste_frame");
          const auto remove = remove_stack_obs.is_none() ? std::vector<std::optional<std::string>>{}
                                                         : box_keys_from(remove_stack_obs);
          const BestLastFrame best = find_best_laste_frame(clip, min_area, max_attempts, remove);
          write_back_clip(laste_frame, clip);
          return py::make_tuple(record_object_for(laste_frame, clip, best.best_laste_frame), best.no_best_laste_frame);
        },
        py::arg("laste_frame"), py::arg("min_area") = 10, py::arg("max_attempts") = 10,
        py::arg("remove_stack_obs") = py::none(),
        "find_best_laste_frame(laste_frame, min_area=10, max_attempts=10, remove_stack_obs=[])\n"
        "    -> (best_laste_frame, no_best_laste_frame)\n\n"
        "Removes the box keys of remove_stack_obs from every record of laste_frame (in place), then walks back from "
        "the last frame key, at most max_attempts frames, to the first whose masks all exceed min_area with no two "
        "overlapping by 50 percent. best_laste_frame is that FrameRecord (the object held in laste_frame) or None.");
  m.def("matcher",
        [](const py::object& laste_frame, const std::vector<std::string>& frame_names, int ann_frame_idx,
           const py::object& image_predictor, const py::object& remove_stack_box, int min_area, int max_attempts,
           const py::object& display_func) {
          StdoutToPython out;
          ClipAnnotationData clip = clip_from_dict(laste_frame, "laste_frame");
          std::optional<std::vector<std::optional<std::string>>> remove;
          if (!remove_stack_box.is_none()) remove = box_keys_from(remove_stack_box);
          std::optional<PyImagePredictor> predictor;
          if (!image_predictor.is_none()) predictor.emplace(image_predictor);
          std::function<void(const cv::Mat&)> display;
          if (!display_func.is_none()) {
            display = [display_func](const cv::Mat& bgra) { display_func(array_from_mat(swap_red_blue(bgra))); };
          }
          MatchResult r;
          reraise_missing_files(frame_names, [&] {
            r = matcher(clip, frame_names, ann_frame_idx, predictor ? &*predictor : nullptr, remove, min_area,
                        max_attempts, display);
          });
          write_back_clip(laste_frame, clip);
          return py::make_tuple(r.masks ? py::cast(*r.masks) : py::none(), r.OBJECTS ? py::cast(*r.OBJECTS) : py::none(),
                                r.keep_box ? py::cast(*r.keep_box) : py::none(),
                                record_object_for(laste_frame, clip, r.best_laste_frame), r.no_best_laste_frame);
        },
        py::arg("laste_frame"), py::arg("frame_names"), py::arg("ann_frame_idx") = 0,
        py::arg("image_predictor") = py::none(), py::arg("remove_stack_box") = py::none(), py::arg("min_area") = 10,
        py::arg("max_attempts") = 10, py::arg("display_func") = py::none(),
        "matcher(laste_frame, frame_names, ann_frame_idx=0, image_predictor=None, remove_stack_box=None, min_area=10, "
        "max_attempts=10, display_func=None)\n"
        "    -> (masks, OBJECTS, keep_box, best_laste_frame, no_best_laste_frame)\n\n"
        "Carries the identities of the previous clip (laste_frame, a dict of FrameRecord) into the frame "
        "frame_names[ann_frame_idx]: the last usable frame's mask boxes prompt image_predictor (a SAM-2-style "
        "predictor: set_image, then predict(point_coords=None, point_labels=None, box=N x 4, "
        "multimask_output=False)). masks is a list of Mask; on failure every value is None and the flag True. "
        "display_func, when given, receives the previous frame's masks drawn over the new frame (RGBA array).");
  m.def("cal_masks_iou_scores",
        [](const py::object& masks_new, const py::object& masks_old) {
          return array_from_mat(cal_masks_iou_scores(masks_from_object(masks_new, "masks_new"),
                                                     masks_from_object(masks_old, "masks_old")));
        },
        py::arg("masks_new"), py::arg("masks_old"),
        "cal_masks_iou_scores(masks_new, masks_old) -> numpy.ndarray\n\n"
        "Returns the new x old matrix |new AND old| / (|new OR old| + 1e-06).");
  m.def("cal_centroid_distance",
        [](const py::object& masks_new, const py::object& masks_old) {
          return array_from_mat(cal_centroid_distance(masks_from_object(masks_new, "masks_new"),
                                                      masks_from_object(masks_old, "masks_old")));
        },
        py::arg("masks_new"), py::arg("masks_old"),
        "cal_centroid_distance(masks_new, masks_old) -> numpy.ndarray\n\n"
        "Returns the new x old centroid similarity 1 - d / (max d + 1e-06) (a similarity, despite the name).");
  m.def("generate_sam2_image_features",
        [](const py::object& image, const py::object& masks, const py::object& image_predictor) {
          StdoutToPython out;
          PyImagePredictor predictor(image_predictor);
          const auto features =
              generate_sam2_image_features(bgr_frame(image), masks_from_object(masks, "masks"), predictor);
          py::list list;
          for (const auto& f : features) list.append(f ? object_from_tensor(*f) : py::none());
          return list;
        },
        py::arg("image"), py::arg("masks"), py::arg("image_predictor"),
        "generate_sam2_image_features(image, masks, image_predictor) -> list\n\n"
        "Hands image (uint8 RGB, grey or RGBA) to image_predictor.set_image, then returns per mask the spatial mean of "
        "image_predictor.model.image_encoder's 'vision_features' on the mask's enhanced crop (a 1 x 3 x 256 x 256 "
        "float32 tensor on the model's device, run under torch.no_grad()): a torch tensor of length C, or None for a "
        "mask too small to describe.");
  m.def("cosine_scores_cal",
        [](const py::object& image_features_new, const py::object& image_features_old) {
          return array_from_mat(
              cosine_scores_cal(features_from(image_features_new), features_from(image_features_old)));
        },
        py::arg("image_features_new"), py::arg("image_features_old"),
        "cosine_scores_cal(image_features_new, image_features_old) -> numpy.ndarray\n\n"
        "Returns the new x old cosine similarities of the features (tensors or arrays), -inf where either is None.");
  m.def("process_overlap_frames",
        [](const py::object& overlap_frames_dataframe, const py::object& pelk_annotation_data,
           const py::object& image_predictor, int n_consecutive) {
          StdoutToPython out;
          const auto rows = rows_from_frame(overlap_frames_dataframe, "overlap_frames_dataframe");
          const ClipAnnotationData clip = clip_from_dict(pelk_annotation_data, "pelk_annotation_data");
          PyImagePredictor predictor(image_predictor);
          std::vector<std::string> images;
          for (const auto& [key, record] : clip) images.push_back(record.image_path);
          OverlapResolution r;
          reraise_missing_files(images, [&] { r = process_overlap_frames(rows, clip, predictor, n_consecutive); });
          return py::make_tuple(r.test_frame ? py::cast(*r.test_frame) : py::none(),
                                r.most_frequent_box ? py::cast(*r.most_frequent_box) : py::none(),
                                dict_from_runs(r.con_frames_dict), r.worst_boxes);
        },
        py::arg("overlap_frames_dataframe"), py::arg("pelk_annotation_data"), py::arg("image_predictor"),
        py::arg("n_consecutive") = 2,
        "process_overlap_frames(overlap_frames_dataframe, pelk_annotation_data, image_predictor, n_consecutive=2)\n"
        "    -> (test_frame, most_frequent_box, con_frames_dict, worst_boxes)\n\n"
        "Finds where an overlap episode of the report's high-overlap rows begins and votes for the box most likely "
        "carrying an identity error, from mask IoU, box IoU and region features (image_predictor's encoder).");
}

}  // namespace pelk::python
