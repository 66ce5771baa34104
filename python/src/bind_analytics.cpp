// Visual analytics for Python: clustering, motion scores, the intersection
// heat map, and figures: the default sink writes a PNG and prints its path;
// a Python callable can take each figure instead (a notebook shows it).
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include <opencv2/imgcodecs.hpp>

#include "bindings.hpp"
#include "pelk_utils/analytics/clustering.hpp"
#include "pelk_utils/analytics/figure.hpp"
#include "pelk_utils/analytics/heatmap.hpp"
#include "pelk_utils/analytics/motion.hpp"

namespace pelk::python {

namespace {

// A figure for Python: an RGB image with a title that notebooks show.
struct PyFigure {
  py::array image;
  std::string title;
};

PyFigure py_figure(const Figure& f) { return {array_from_mat(swap_red_blue(f.image)), f.title}; }

// The Python callable that takes figures; never destroyed at exit (the
// interpreter may be gone by then).
py::object* python_sink = nullptr;

void set_python_sink(const py::object& sink) {
  if (python_sink != nullptr) {
    delete python_sink;
    python_sink = nullptr;
  }
  if (sink.is_none()) {
    set_figure_sink(nullptr);
    return;
  }
  python_sink = new py::object(sink);
  set_figure_sink([](const Figure& f) {
    py::gil_scoped_acquire gil;
    if (python_sink != nullptr) (*python_sink)(py_figure(f));
  });
}

}  // namespace

void bind_analytics(py::module_& m) {
  py::class_<PyFigure>(m, "Figure", "A rendered figure: image (H x W x 3 uint8 RGB) and title; notebooks show it.")
      .def_readonly("image", &PyFigure::image)
      .def_readonly("title", &PyFigure::title)
      .def("_repr_png_", [](const PyFigure& f) {
        std::vector<unsigned char> png;
        cv::imencode(".png", swap_red_blue(image_from_array(f.image, "figure")), png);
        return py::bytes(reinterpret_cast<const char*>(png.data()), png.size());
      })
      .def("__repr__", [](const PyFigure& f) { return "Figure('" + f.title + "')"; });

  m.def("cluster_masks_and_print",
        [](const py::object& masks_dict, double eps, int min_samples) {
          const auto groups = cluster_masks_and_print(mask_dict_from_object(masks_dict, "masks_dict"), eps, min_samples);
          const auto original = original_keys(masks_dict);
          py::dict dict;
          for (const auto& [name, keys] : groups) {
            py::list named;
            for (const auto& key : keys) named.append(key_object(original, key));
            dict[py::str(name)] = named;
          }
          return dict;
        },
        py::arg("masks_dict"), py::arg("eps") = 100, py::arg("min_samples") = 1,
        "cluster_masks_and_print(masks_dict, eps=100, min_samples=1) -> dict\n\n"
        "Groups the masks by centroid (DBSCAN): {'Noise': [...], 'Cluster 0': [...], ...}.");
  m.def("compute_motion_score_in_polygon",
        [](const std::vector<FsPath>& video_frame_paths, const py::object& masks_dict) {
          const std::vector<std::string> video_frames = path_bytes(video_frame_paths);
          const MaskDict masks = mask_dict_from_object(masks_dict, "masks_dict");
          OrderedMap<std::string, double> scores;
          reraise_missing_files(video_frames, [&] {
            ReleaseGil release;
            scores = compute_motion_score_in_polygon(video_frames, masks);
          });
          // Keys as the caller gave them; an empty mask scores the integer 0.
          const auto original = original_keys(masks_dict);
          py::dict dict;
          for (const auto& [key, score] : scores) {
            dict[key_object(original, key)] = masks.at(key).empty() ? py::object(py::int_(0)) : py::object(py::float_(score));
          }
          return dict;
        },
        py::arg("video_frames"), py::arg("masks_dict"),
        "compute_motion_score_in_polygon(video_frames, masks_dict) -> dict\n\n"
        "Returns per box key the mean optical-flow magnitude (pixels per frame) inside its mask between "
        "video_frames[0] and video_frames[1].");
  m.def("draw_intersection_heatmap",
        [](const py::object& intersections_df) {
          draw_intersection_heatmap(table_from_frame(intersections_df, "intersections_df"));
        },
        py::arg("intersections_df"),
        "draw_intersection_heatmap(intersections_df) -> None\n\n"
        "Draws the intersections table (DataFrame) as a heat map and presents it: by default written to "
        "pelk_figures/NNN_<title>.png with its path printed; see set_figure_sink to show it instead.");
  m.def("render_intersection_heatmap",
        [](const py::object& intersections_df) {
          return py_figure({render_intersection_heatmap(table_from_frame(intersections_df, "intersections_df")),
                            "Intersection Heatmap %"});
        },
        py::arg("intersections_df"),
        "render_intersection_heatmap(intersections_df) -> Figure\n\nReturns the heat map without presenting it.");
  m.def("set_figure_sink", &set_python_sink, py::arg("sink"),
        "set_figure_sink(sink) -> None\n\nSends every presented figure to sink(figure) (a pelk_utils.Figure); None "
        "restores the default (a PNG file and its path printed).");
  m.def("set_figures_dir", [](const FsPath& dir) { set_figures_dir(dir); }, py::arg("dir"),
        "set_figures_dir(dir) -> None\n\nSets the folder the default sink writes PNG files into.");
  m.def("current_figure",
        []() -> py::object {
          const auto f = current_figure();
          return f ? py::cast(py_figure(*f)) : py::none();
        },
        "current_figure() -> Figure | None\n\nReturns the figure last filled without being presented.");
}

}  // namespace pelk::python
