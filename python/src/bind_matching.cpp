// Cross-clip matching for Python: last-frame selection and the matcher (on
// the caller's dict of FrameRecord objects, changed in place as in C++) and
// mask similarity. Region features and the overlap resolution need libtorch:
// bind_matching_torch.cpp.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/matching/last_frame.hpp"
#include "pelk_utils/matching/matcher.hpp"
#include "pelk_utils/matching/similarity.hpp"
#include "py_models.hpp"

namespace pelk::python {

namespace {

// Returns a list of box keys (None entries kept); a single string is a
// TypeError, not a list of its characters.
std::vector<std::optional<std::string>> box_keys_from(const py::handle& obj, const std::string& what) {
  std::vector<std::optional<std::string>> keys;
  for (const py::handle item : sequence_of(obj, what, "a list of box keys")) {
    if (item.is_none()) keys.emplace_back(std::nullopt);
    else keys.emplace_back(key_text(item, what));
  }
  return keys;
}

}  // namespace

void bind_matching(py::module_& m) {
  m.def("find_best_laste_frame",
        [](const py::object& laste_frame, int min_area, int max_attempts, const py::object& remove_stack_obs) {
          OwnedClip clip = clip_from_dict(laste_frame, "laste_frame");
          const auto remove = remove_stack_obs.is_none() ? std::vector<std::optional<std::string>>{}
                                                         : box_keys_from(remove_stack_obs, "remove_stack_obs");
          const BestLastFrame best = find_best_laste_frame(*clip, min_area, max_attempts, remove);
          write_back_clip(laste_frame, clip);
          return py::make_tuple(record_object_for(laste_frame, clip, best.best_laste_frame), best.no_best_laste_frame);
        },
        py::arg("laste_frame"), py::arg("min_area") = 10, py::arg("max_attempts") = 10,
        py::arg("remove_stack_obs") = py::none(),
        "find_best_laste_frame(laste_frame, min_area=10, max_attempts=10, remove_stack_obs=None (none removed))\n"
        "    -> (best_laste_frame, no_best_laste_frame)\n\n"
        "Removes the box keys of remove_stack_obs from every record of laste_frame (in place), then walks back from "
        "the last frame key, at most max_attempts frames, to the first whose masks all exceed min_area with no two "
        "overlapping by 50 percent. best_laste_frame is that FrameRecord (the object held in laste_frame) or None. "
        "laste_frame is changed in place: do not share it with another thread that changes it.");
  m.def("matcher",
        [](const py::object& laste_frame, const std::vector<FsPath>& frame_paths, int ann_frame_idx,
           const py::object& image_predictor, const py::object& remove_stack_box, int min_area, int max_attempts,
           const py::object& display_func) {
          const std::vector<std::string> frame_names = path_bytes(frame_paths);
          OwnedClip clip = clip_from_dict(laste_frame, "laste_frame");
          std::optional<std::vector<std::optional<std::string>>> remove;
          if (!remove_stack_box.is_none()) remove = box_keys_from(remove_stack_box, "remove_stack_box");
          std::optional<PyImagePredictor> predictor;
          if (!image_predictor.is_none()) predictor.emplace(image_predictor);
          std::function<void(const cv::Mat&)> display;
          if (!display_func.is_none()) {
            display = [display_func](const cv::Mat& bgra) { display_func(array_from_mat(swap_red_blue(bgra))); };
          }
          MatchResult r;
          reraise_missing_files(frame_names, [&] {
            r = matcher(*clip, frame_names, ann_frame_idx, predictor ? &*predictor : nullptr, remove, min_area,
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
        "display_func, when given, receives the previous frame's masks drawn over the new frame (RGBA array).\n"
        "laste_frame is changed in place (the removed keys): do not share it with another thread that changes it. "
        "A model callback that replaces one of its records while matcher runs gives TypeError. Ctrl-C stops it "
        "and leaves laste_frame as it was.");
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
}

}  // namespace pelk::python
