// Tracking quality for Python: the tracking report (pandas tables), the
// continuous frame runs and the small-area boxes.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/quality/frame_runs.hpp"
#include "pelk_utils/quality/small_area_boxes.hpp"
#include "pelk_utils/quality/tracking_report.hpp"

namespace pelk::python {

namespace {

// Returns the values of column `name` of the DataFrame (or list of row dicts) `frame`.
py::list column_values(const py::object& frame, const std::string& name, const std::string& what) {
  py::object table = frame;
  if (!py::hasattr(table, "columns")) table = py::module_::import("pandas").attr("DataFrame")(table);
  if (!py::bool_(table.attr("columns").attr("__contains__")(name))) {
    throw py::key_error(what + ": the table has no column '" + name + "'");
  }
  return table[py::str(name)].attr("tolist")();
}

// Returns, per value, the position of its value among the distinct present
// values in sorted order (in order of appearance when they do not sort), and
// those distinct values; missing values (None, NaN, pd.NA) get no code.
std::pair<std::vector<std::optional<std::int64_t>>, py::list> value_codes(const py::list& values) {
  const py::object is_missing = py::module_::import("pandas").attr("isna");
  py::list present;
  py::dict seen;
  for (const py::handle v : values) {
    if (py::bool_(is_missing(v)) || seen.contains(v)) continue;
    seen[v] = py::none();
    present.append(v);
  }
  py::list distinct = present;
  try {
    distinct = py::module_::import("builtins").attr("sorted")(present);
  } catch (const py::error_already_set&) {
    // Values of kinds that do not compare: keep the order of appearance.
  }
  py::dict code_of;
  for (std::size_t i = 0; i < distinct.size(); ++i) code_of[distinct[i]] = i;
  std::vector<std::optional<std::int64_t>> codes;
  for (const py::handle v : values) {
    if (py::bool_(is_missing(v))) codes.emplace_back(std::nullopt);
    else codes.emplace_back(code_of[v].cast<std::int64_t>());
  }
  return {codes, distinct};
}

}  // namespace

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
        [](const py::object& frames_df, const std::string& group_by, std::int64_t n_consecutive) -> py::object {
          std::vector<ReportRow> rows = rows_from_frame(frames_df, "frames_df");
          if (std::find(kReportColumns.begin(), kReportColumns.end(), group_by) != kReportColumns.end() || rows.empty()) {
            return dict_from_runs(find_continuous_frames(rows, group_by, n_consecutive));
          }
          // The caller's own column: its values are coded 0, 1, ... in sorted
          // order, grouped by code, and the codes turned back into values.
          const py::list values = column_values(frames_df, group_by, "frames_df");
          const auto [codes, distinct] = value_codes(values);
          for (std::size_t i = 0; i < rows.size(); ++i) rows[i].mask_areas = codes[i];
          const py::dict coded = dict_from_runs(find_continuous_frames(rows, "Mask Areas", n_consecutive));
          py::dict runs;
          for (const auto item : coded) runs[distinct[item.first.cast<std::size_t>()]] = item.second;
          return runs;
        },
        py::arg("frames_df"), py::arg("group_by") = "Box ID", py::arg("n_consecutive") = 3,
        "find_continuous_frames(frames_df, group_by='Box ID', n_consecutive=3) -> dict\n\n"
        "Groups the report rows (a DataFrame, or a list of row dicts, with 'Frame ID' and the group_by column, a report "
        "column or any other) and returns, per group value in ascending order, the runs of consecutive frame ids at "
        "least n_consecutive long; rows whose group value is missing are left out.");
  m.def("find_boxes_with_small_area_from_last_video",
        [](const py::object& laste_frame, double min_frame_id, double area_threshold, double min_count) {
          const OwnedClip clip = clip_from_dict(laste_frame, "laste_frame");
          // Walked in the dict's own order, as a loop over it would.
          std::vector<std::pair<int, const FrameRecord*>> frames;
          for (const py::handle key : laste_frame.attr("keys")()) {
            const int frame = frame_key(key, "laste_frame");
            frames.emplace_back(frame, &clip->at(frame));
          }
          return find_boxes_with_small_area(frames, min_frame_id, area_threshold, min_count);
        },
        py::arg("laste_frame"), py::arg("min_frame_id") = 500, py::arg("area_threshold") = 100,
        py::arg("min_count") = 100,
        "find_boxes_with_small_area_from_last_video(laste_frame, min_frame_id=500, area_threshold=100, "
        "min_count=100) -> list[str]\n\n"
        "Returns the box keys whose mask area is at most area_threshold in more than min_count frames with a frame "
        "key above min_frame_id.");
}

}  // namespace pelk::python
