// Tracking quality for Python: the tracking report (pandas tables), the
// continuous frame runs and the small-area boxes.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/quality/frame_runs.hpp"
#include "pelk_utils/quality/small_area_boxes.hpp"
#include "pelk_utils/quality/tracking_report.hpp"

namespace pelk::python {

void bind_quality(py::module_& m) {
  m.def("generate_tracking_report",
        [](const py::object& pelk_annotation_data, const FsPath& save_dir_base, double intersection_thrr) {
          const OwnedClip clip = clip_from_dict(pelk_annotation_data, "pelk_annotation_data");
          TrackingReport report;
          {
            ReleaseGil release;
            report = generate_tracking_report(*clip, save_dir_base, intersection_thrr);
          }
          py::list zero_area;
          for (const auto& row : report.zero_area_frames) zero_area.append(dict_from_row(row));
          return py::make_tuple(frame_from_rows(report.overlap_frames_data), zero_area, report.overlap_frames,
                                frame_from_rows(report.box_keys_df));
        },
        py::arg("pelk_annotation_data"), py::arg("save_dir_base"), py::arg("intersection_thrr") = 80,
        "generate_tracking_report(pelk_annotation_data, save_dir_base, intersection_thrr=80)\n"
        "    -> (overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df)\n\n"
        "Lists vanished masks and pairs of masks overlapping by more than intersection_thrr percent in a whole-clip "
        "load and writes them to save_dir_base/tracking_question_report.csv. The tables are pandas DataFrames with "
        "the report's eight columns; zero_area_frames is a list of row dicts.");
  m.def("find_continuous_frames",
        [](const py::object& frames_df, const std::string& group_by, std::int64_t n_consecutive) {
          return dict_from_runs(find_continuous_frames(rows_from_frame(frames_df, "frames_df"), group_by, n_consecutive));
        },
        py::arg("frames_df"), py::arg("group_by") = "Box ID", py::arg("n_consecutive") = 3,
        "find_continuous_frames(frames_df, group_by='Box ID', n_consecutive=3) -> dict\n\n"
        "Groups the report rows (a DataFrame with 'Frame ID' and the group_by column) and returns, per group value in "
        "ascending order, the runs of consecutive frame ids at least n_consecutive long.");
  m.def("find_boxes_with_small_area_from_last_video",
        [](const py::object& laste_frame, double min_frame_id, double area_threshold, double min_count) {
          const OwnedClip clip = clip_from_dict(laste_frame, "laste_frame");
          return find_boxes_with_small_area_from_last_video(*clip, min_frame_id, area_threshold, min_count);
        },
        py::arg("laste_frame"), py::arg("min_frame_id") = 500, py::arg("area_threshold") = 100,
        py::arg("min_count") = 100,
        "find_boxes_with_small_area_from_last_video(laste_frame, min_frame_id=500, area_threshold=100, "
        "min_count=100) -> list[str]\n\n"
        "Returns the box keys whose mask area is at most area_threshold in more than min_count frames with a frame "
        "key above min_frame_id.");
}

}  // namespace pelk::python
