// Identity measures and the repair's safety net for Python: evaluation of a
// tracked clip against its truth, the repair state of a folder and --undo.
// (The repair itself needs region features: bind_matching_torch.cpp.)
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/annotation/corrections.hpp"
#include "pelk_utils/annotation/file_changes.hpp"
#include "pelk_utils/interchange/evaluation_input.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"

namespace pelk::python {

namespace {

// A path (str, bytes or os.PathLike) names a file or folder to read; anything
// else is taken as a clip.
std::optional<std::string> path_argument(const py::handle& obj) {
  if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || py::hasattr(obj, "__fspath__")) {
    return obj.cast<FsPath>().bytes;
  }
  return std::nullopt;
}

// Every integral type (numpy's too), as operator.index takes them.
std::int64_t int64_argument(const py::handle& obj, const std::string& what) {
  if (PyBool_Check(obj.ptr()) || !(PyLong_Check(obj.ptr()) || py::hasattr(obj, "__index__"))) {
    throw py::type_error(what + " must be int, got " + py::type::of(obj).attr("__name__").cast<std::string>());
  }
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
  if (!index) throw py::error_already_set();
  const py::int_ number = py::reinterpret_borrow<py::int_>(index);
  if (number < py::int_(-(std::int64_t{1} << 40)) || number > py::int_(std::int64_t{1} << 40)) {
    value_error(what + " is out of range: " + py::repr(number).cast<std::string>());
  }
  return number.cast<std::int64_t>();
}

// Ratios with nothing to average over are NaN, as in pandas.
py::dict dict_from_measures(const TrackingMeasures& m) {
  py::list identities;
  for (const IdentityRecord& r : m.identities) {
    py::dict d;
    d["truth_box"] = r.truth_box;
    d["frames"] = r.frames;
    d["tracked"] = r.tracked;
    d["assigned_box"] = r.assigned_box.empty() ? py::object(py::none()) : py::str(r.assigned_box);
    d["own_identity"] = r.own_identity;
    d["other_identity"] = r.other_identity;
    d["most_other_box"] = r.most_other_box.empty() ? py::object(py::none()) : py::str(r.most_other_box);
    d["idtp"] = r.idtp;
    d["idfn"] = r.idfn;
    d["idfp"] = r.idfp;
    d["first_switch_frame"] = r.first_switch_frame ? py::object(py::int_(*r.first_switch_frame)) : py::object(py::none());
    d["switched_from"] = r.switched_from.empty() ? py::object(py::none()) : py::str(r.switched_from);
    d["switched_to"] = r.switched_to.empty() ? py::object(py::none()) : py::str(r.switched_to);
    identities.append(d);
  }
  py::dict unpaired;
  for (const UnpairedTrackedKey& k : m.unpaired_tracked) unpaired[py::str(k.box)] = k.frames;
  py::dict out;
  out["hota"] = m.hota.hota;
  out["deta"] = m.hota.deta;
  out["assa"] = m.hota.assa;
  out["loca"] = m.hota.loca;
  out["idf1"] = m.idf1;
  out["id_precision"] = m.id_precision;
  out["id_recall"] = m.id_recall;
  out["mota"] = m.mota;
  out["id_switches"] = m.id_switches;
  out["misses"] = m.misses;
  out["false_positives"] = m.false_positives;
  out["mean_iou"] = m.mean_iou;
  out["motp"] = m.mean_iou;
  out["matches"] = m.matches;
  out["iou"] = m.box_iou ? "box" : "mask";
  out["truth_ids"] = m.truth_ids;
  out["tracked_ids"] = m.tracked_ids;
  out["idtp"] = m.idtp;
  out["idfp"] = m.idfp;
  out["idfn"] = m.idfn;
  out["frames"] = m.frames;
  out["missing_frames"] = m.missing_frames;
  out["extra_frames"] = m.extra_frames;
  out["truth_objects"] = m.truth_objects;
  out["tracked_objects"] = m.tracked_objects;
  out["identities"] = identities;
  out["unpaired_tracked"] = unpaired;
  return out;
}

const char* state_name(RepairState s) {
  switch (s) {
    case RepairState::kNone: return "none";
    case RepairState::kPending: return "pending";
    case RepairState::kApplied: return "applied";
  }
  return "?";
}

}  // namespace

void bind_repair(py::module_& m) {
  m.def("evaluate_tracking",
        [](const py::object& tracked, const py::object& truth, double iou_threshold, bool strict,
           const py::object& frame_offset) {
          if (!(iou_threshold >= 0 && iou_threshold <= 1)) {
            value_error("evaluate_tracking: iou_threshold must be from 0 to 1, got " + py::repr(py::float_(iou_threshold)).cast<std::string>());
          }
          const std::int64_t offset = int64_argument(frame_offset, "evaluate_tracking: frame_offset");
          const EvaluationOptions options{.iou_threshold = iou_threshold, .require_same_frames = strict, .frame_offset = offset};
          // A day: lists of clips on both sides, clip k against truth k.
          const auto is_list = [](const py::object& o) { return py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o); };
          if (is_list(tracked) || is_list(truth)) {
            if (!is_list(tracked) || !is_list(truth)) {
              throw py::type_error("evaluate_tracking(): a day needs a list of clips on both sides (tracked and truth)");
            }
            std::vector<std::string> tracked_paths, truth_paths;
            for (const auto& [from, into, name] : {std::tuple{&tracked, &tracked_paths, "tracked"}, std::tuple{&truth, &truth_paths, "truth"}}) {
              for (const py::handle item : *from) {
                const std::optional<std::string> path = path_argument(py::reinterpret_borrow<py::object>(item));
                if (!path) throw py::type_error(std::string("evaluate_tracking(): ") + name + ": a day's clips are paths (str or os.PathLike)");
                into->push_back(*path);
              }
            }
            TrackingMeasures measures;
            std::vector<std::string> all = tracked_paths;
            all.insert(all.end(), truth_paths.begin(), truth_paths.end());
            reraise_missing_files(all, [&] {
              ReleaseGil release;
              const auto [t, g] = read_day_evaluation_inputs(tracked_paths, truth_paths);
              measures = evaluate_tracks(t, g, options);
            });
            return dict_from_measures(measures);
          }
          const std::optional<std::string> tracked_path = path_argument(tracked), truth_path = path_argument(truth);
          std::optional<OwnedClip> t, g;
          if (!tracked_path) t = clip_from_dict(tracked, "tracked");
          if (!truth_path) g = clip_from_dict(truth, "truth");
          TrackingMeasures measures;
          reraise_missing_files({tracked_path.value_or(""), truth_path.value_or("")}, [&] {
            ReleaseGil release;
            TrackSet tracked_set = t ? track_set_of(**t) : TrackSet{};
            TrackSet truth_set = g ? track_set_of(**g) : TrackSet{};
            if (tracked_path && truth_path) {
              std::tie(tracked_set, truth_set) = read_evaluation_inputs(*tracked_path, *truth_path);
            } else if (tracked_path) {
              tracked_set = read_evaluation_input(*tracked_path, TrackSide::kTracked, mask_frame_size(truth_set));
            } else if (truth_path) {
              truth_set = read_evaluation_input(*truth_path, TrackSide::kTruth, mask_frame_size(tracked_set));
            }
            measures = evaluate_tracks(tracked_set, truth_set, options);
          });
          return dict_from_measures(measures);
        },
        py::arg("tracked"), py::arg("truth"), py::arg("iou_threshold") = 0.5, py::arg("strict") = false,
        py::arg("frame_offset") = 0,
        "evaluate_tracking(tracked, truth, iou_threshold=0.5, strict=False, frame_offset=0) -> dict\n\n"
        "Measures tracks against their truth. Each side is a clip as get_pelk_annotation_data returns it, or a path "
        "(str or os.PathLike) to an annotation folder, a MOTChallenge text file (.txt) or a CVAT for video 1.1 XML "
        "file (.xml); or, for a day, a list of clip paths on each side (clip k against truth k, measured as one "
        "sequence: day-level HOTA and IDF1). Masks meet masks by mask IoU; when a side has only boxes, boxes by box IoU ('iou' says "
        "which). Frames are paired by number (MOT counts from 1; frame_offset is added to the tracked side's). "
        "MOT truth rows with confidence 0 are not counted. Returns hota, deta, assa, loca, idf1, id_precision, "
        "id_recall, mota, motp (= mean_iou), id_switches, misses, false_positives, matches (NaN where there is "
        "nothing to average), the IDF1 counts idtp/idfp/idfn, truth_ids, tracked_ids, and per truth identity its "
        "share of them. A frame on one side only counts as missed (or as false positives); strict=True raises "
        "ValueError instead. HOTA and CLEAR MOT are counted as the standard evaluation code counts them.");
  m.def("repair_status",
        [](const FsPath& folder) {
          require_folder(folder, "repair_status(): folder");
          RepairStatus s;
          {
            ReleaseGil release;
            s = repair_status(folder);
          }
          py::list leftovers;
          for (const std::string& p : s.leftovers) leftovers.append(path_str(p));
          py::dict out;
          out["state"] = state_name(s.state);
          out["description"] = s.description;
          out["files"] = s.files;
          out["can_finish"] = s.can_finish;
          out["leftovers"] = leftovers;
          return out;
        },
        py::arg("folder"),
        "repair_status(folder) -> dict\n\n"
        "Tells, writing nothing, what the annotation folder holds of identity repairs: state 'none', 'pending' (an "
        "interrupted repair: repair_identities finishes it, undo_repair rolls it back) or 'applied', its description, "
        "the number of files it changes, and leftovers of killed runs. ValueError for a manifest that is damaged or "
        "not the folder's own.");
  m.def("apply_corrections",
        [](const FsPath& folder, const FsPath& corrections, bool dry_run) {
          CorrectionsApplied r;
          reraise_missing_files({corrections.bytes}, [&] {
            ReleaseGil release;
            r = apply_corrections(folder, corrections, dry_run);
          });
          py::list exchanges;
          for (const IdentitySwap& x : r.swaps) exchanges.append(py::make_tuple(x.after_frame + 1, x.object_a, x.object_b));
          py::dict out;
          out["exchanges"] = exchanges;
          out["files_changed"] = r.files_changed;
          out["dry_run"] = dry_run;
          return out;
        },
        py::arg("folder"), py::arg("corrections"), py::arg("dry_run") = false,
        "apply_corrections(folder, corrections, dry_run=False) -> dict\n\n"
        "Applies a corrections file exported from the review page's proofreading to the annotation folder, as "
        "`pelk repair --apply` does: each exchange (from_frame, object_a, object_b) is written into every file from "
        "that frame on, atomically and behind the repair manifest, so undo_repair restores the files byte for byte. "
        "A file made for another clip, for files that changed since the page was made, or with unknown keys, frames "
        "or boxes is a ValueError and nothing is written. dry_run=True writes nothing.");
  m.def("undo_repair",
        [](const FsPath& folder) {
          require_folder(folder, "undo_repair(): folder");
          ReleaseGil release;
          return undo_file_changes(folder);
        },
        py::arg("folder"),
        "undo_repair(folder) -> int\n\n"
        "Restores, byte for byte, the annotation files the last repair of this folder changed (a finished or an "
        "interrupted one) and returns how many it restored (0 when there is no repair). Works on a copied or moved "
        "folder and only ever on the folder named; a manifest that does not belong to it is a ValueError and nothing "
        "changes; a repaired file changed since is a RuntimeError and nothing changes.");
}

}  // namespace pelk::python
