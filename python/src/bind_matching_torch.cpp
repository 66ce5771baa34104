// The libtorch half of cross-clip matching for Python: region features
// through the caller's predictor, their cosine scores, and the overlap
// resolution that votes with them. Bound into _pelk_torch, loaded on first use.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/matching/day_chain.hpp"
#include "pelk_utils/matching/folder_repair.hpp"
#include "pelk_utils/matching/overlap_resolution.hpp"
#include "pelk_utils/matching/region_features.hpp"
#include "py_encoder.hpp"

namespace pelk::python {

namespace {

// Returns the region features of `obj` (a list of tensors, arrays or None);
// features holding NaN or infinity are a ValueError naming the item.
std::vector<std::optional<torch::Tensor>> features_from(const py::handle& obj, const std::string& what) {
  std::vector<std::optional<torch::Tensor>> features;
  for (const py::handle item : sequence_of(obj, what, "a list of region features (tensors, arrays or None)")) {
    features.push_back(tensor_from_object(item));
    if (features.back() && !torch::isfinite(*features.back()).all().item<bool>()) {
      value_error("cosine_scores_cal: " + what + "[" + std::to_string(features.size() - 1) +
                  "] holds NaN or infinity; its cosine would be meaningless");
    }
  }
  return features;
}

cv::Mat bgr_frame(const py::object& image) { return swap_red_blue(image_from_array(image, "image")); }

py::object optional_int(const std::optional<int>& v) { return v ? py::object(py::int_(*v)) : py::object(py::none()); }

py::dict dict_from_decision(const SwapDecision& d) {
  py::dict out;
  out["boxes"] = py::make_tuple(d.episode.box_a, d.episode.box_b);
  out["kind"] = episode_kind_name(d.episode.kind);
  out["first_frame"] = d.episode.first_frame;
  out["last_frame"] = d.episode.last_frame;
  out["before_frame"] = optional_int(d.before_frame);
  out["after_frame"] = optional_int(d.after_frame);
  out["verdict"] = verdict_name(d.verdict);
  out["reason"] = d.reason;
  out["keep_cost"] = d.keep_cost;
  out["swap_cost"] = d.swap_cost;
  py::dict cues;
  cues["appearance"] = d.cues.appearance;
  cues["position"] = d.cues.position;
  cues["heading"] = d.cues.heading;
  out["cues"] = cues;
  py::list pile;
  for (const std::string& b : d.pile) pile.append(b);
  out["pile"] = pile;  // the pile's boxes when decided with others, else empty
  out["swap_after_frame"] = optional_int(d.swap_after_frame);
  return out;
}

}  // namespace

void bind_matching_torch(py::module_& m) {
  m.def("generate_sam2_image_features",
        [](const py::object& image, const py::object& masks, const py::object& image_predictor) {
          PyEncodingPredictor predictor(image_predictor);
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
              cosine_scores_cal(features_from(image_features_new, "image_features_new"),
                                features_from(image_features_old, "image_features_old")));
        },
        py::arg("image_features_new"), py::arg("image_features_old"),
        "cosine_scores_cal(image_features_new, image_features_old) -> numpy.ndarray\n\n"
        "Returns the new x old cosine similarities of the features (tensors or arrays), -inf where either is None.");
  m.def("process_overlap_frames",
        [](const py::object& overlap_frames_dataframe, const py::object& pelk_annotation_data,
           const py::object& image_predictor, int n_consecutive) {
          const auto rows = rows_from_frame(overlap_frames_dataframe, "overlap_frames_dataframe");
          const OwnedClip clip = clip_from_dict(pelk_annotation_data, "pelk_annotation_data");
          PyEncodingPredictor predictor(image_predictor);
          std::vector<std::string> images;
          for (const auto& [key, record] : *clip) images.push_back(record.image_path);
          OverlapResolution r;
          reraise_missing_files(images, [&] { r = process_overlap_frames(rows, *clip, predictor, n_consecutive); });
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
  m.def("repair_identities",
        [](const FsPath& folder, const py::object& image_predictor, double margin, bool dry_run) {
          RepairSettings settings;
          settings.margin = margin;
          check_repair_settings(settings);  // a ValueError naming the setting, before the model is touched
          PyEncodingPredictor predictor(image_predictor);
          const FolderRepair r = repair_clip_folder(folder, predictor, settings, dry_run);
          py::list decisions, exchanges;
          for (const SwapDecision& d : r.decisions) decisions.append(dict_from_decision(d));
          for (const IdentitySwap& x : r.swaps) exchanges.append(py::make_tuple(x.after_frame, x.object_a, x.object_b));
          py::dict out;
          out["decisions"] = decisions;
          out["exchanges"] = exchanges;
          out["files_changed"] = r.files_changed;
          out["finished_files"] = r.finished_files;
          out["leftovers"] = r.leftovers;
          out["dry_run"] = dry_run;
          return out;
        },
        py::arg("folder"), py::arg("image_predictor"), py::arg("margin") = RepairSettings{}.margin,
        py::arg("dry_run") = false,
        "repair_identities(folder, image_predictor, margin=0.2, dry_run=False) -> dict\n\n"
        "Finds the episodes (overlaps, short overlaps, contacts) of the annotation folder after which two animals' "
        "identities were exchanged and exchanges them back in every later file, as `pelk repair` does: each episode "
        "is decided on several frames each side from appearance (image_predictor's encoder), where each animal was "
        "and where it was heading; disagreeing cues and near ties are 'unclear' and left alone. margin (finite, 0 or "
        "more) is how much the cues together must favour an exchange. Files are replaced atomically and undo_repair "
        "restores them byte for byte. dry_run=True writes nothing (RuntimeError when an interrupted repair is "
        "pending). Returns decisions (one dict per episode: boxes, kind, frames, verdict 'kept'/'exchanged'/"
        "'unclear', reason, costs, cues), exchanges (after_frame, object_a, object_b), files_changed, finished_files "
        "(of an interrupted repair it finished) and leftovers (of killed runs, removed).");
  m.def("chain",
        [](const std::vector<FsPath>& folders, const py::object& image_predictor, int animals, std::optional<double> fps,
           bool dry_run) {
          ChainSettings settings;
          settings.animals = animals;
          settings.fps = fps;
          check_chain_settings(settings);  // a ValueError naming the setting, before the model is touched
          PyEncodingPredictor predictor(image_predictor);
          const std::vector<std::string> clips = path_bytes(folders);
          const DayChain day = chain_clips(clips, predictor, settings, dry_run);
          py::list boundaries;
          for (const ChainBoundary& b : day.boundaries) {
            py::list carries;
            for (const Carry& c : b.carries) {
              py::dict d;
              d["object_id"] = c.object_id;
              d["day_id"] = c.day_id;
              d["how"] = carry_kind_name(c.how);
              d["first_frame"] = c.first_frame;
              d["reason"] = c.reason;
              carries.append(d);
            }
            py::dict d;
            d["clip"] = py::bytes(clips[b.clip]).attr("decode")("utf-8", "surrogateescape");
            d["kind"] = boundary_kind_name(b.kind);
            d["kind_reason"] = b.kind_reason;
            d["verdict"] = b.verdict();
            d["carries"] = carries;
            d["pending"] = b.pending;
            d["notes"] = b.notes;
            boundaries.append(d);
          }
          py::dict out;
          out["boundaries"] = boundaries;
          out["day_ids"] = day.day_ids;
          out["files_changed"] = day.files_changed;
          out["clips_changed"] = day.clips_changed;
          out["dry_run"] = dry_run;
          return out;
        },
        py::arg("folders"), py::arg("image_predictor"), py::arg("animals") = ChainSettings{}.animals,
        py::arg("fps") = py::none(), py::arg("dry_run") = false,
        "chain(folders, image_predictor, animals=10, fps=None, dry_run=False) -> dict\n\n"
        "Puts a day of one pen's clips (annotation folders, in the order they were recorded) under the identities of "
        "the first, as `pelk chain` does: continuous boundaries are paired by overlap and, where animals overlap there, "
        "decided as repair_identities decides (image_predictor's encoder gives appearance); an animal out of view is "
        "found again by elimination in the closed pen of `animals`; across a time gap animals are paired by "
        "appearance; whatever cannot be carried safely gets a new object id. fps (the recordings' rate) tells "
        "continuous clips from gaps; without it the masks at each boundary do. Files are replaced atomically and "
        "undo_chain restores them byte for byte; dry_run=True writes nothing. Returns boundaries (one dict each: clip, "
        "kind 'continuous'/'gap', kind_reason, verdict, carries: object_id, day_id, how, first_frame, reason; pending; "
        "notes), day_ids, files_changed and clips_changed.");
  m.def("undo_chain",
        [](const std::vector<FsPath>& folders, bool dry_run) {
          const ChainUndo u = undo_chain(path_bytes(folders), dry_run);
          return u.files;
        },
        py::arg("folders"), py::arg("dry_run") = false,
        "undo_chain(folders, dry_run=False) -> int\n\n"
        "Restores every folder that holds a chain byte for byte and returns the number of files restored (with "
        "dry_run=True: would restore, nothing written).");
}

}  // namespace pelk::python
