// The annotation store for Python: polygon masks, the clip loader (a dict of
// FrameRecord objects, masks kept compact), rendering and repair, and the
// writer a Python tracking loop uses to save one file per frame.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/polygon_masks.hpp"
#include "pelk_utils/annotation/render.hpp"

namespace pelk::python {

void bind_annotation(py::module_& m) {
  m.def("process_json_and_generate_masks",
        [](const FsPath& json_path, int height, int width) {
          PolygonMasks r;
          reraise_missing_files({json_path}, [&] {
            ReleaseGil release;
            r = process_json_and_generate_masks(json_path, height, width);
          });
          return py::make_tuple(path_str(r.image_path), r.masks, r.boxkeys);
        },
        py::arg("json_path"), py::arg("height"), py::arg("width"),
        "process_json_and_generate_masks(json_path, height, width) -> (image_path, masks, boxkeys)\n\n"
        "Fills each detection's normalised polygons into a height x width Mask; boxkeys are object_id - 1.");
  m.def("get_pelk_annotation_data",
        [](const FsPath& video_dir, bool last_or_not, int ixx, const FsPath& save_dir_base) {
          AnnotationData data;
          {
            ReleaseGil release;
            data = get_pelk_annotation_data(video_dir, last_or_not, ixx, save_dir_base);
          }
          if (!data.pelk_annotation_data) return py::make_tuple(py::none(), py::none());
          py::dict clip = dict_from_clip(std::move(*data.pelk_annotation_data));
          py::object last = py::none();
          if (data.last_frame) {
            // The last record is the one in the returned dict, not a copy.
            last = clip.size() == 0 ? py::object(py::none()) : py::list(clip.attr("values")())[clip.size() - 1];
          }
          return py::make_tuple(last, clip);
        },
        py::arg("video_dir"), py::arg("last_or_not") = false, py::arg("ixx") = 0,
        py::arg("save_dir_base") = FsPath{kDefaultAnnotationDir},
        "get_pelk_annotation_data(video_dir, last_or_not=False, ixx=0, save_dir_base='pelk_output')\n"
        "    -> (last_frame, pelk_annotation_data)\n\n"
        "Loads the annotation files under save_dir_base into a dict frame key -> FrameRecord (every file with "
        "intersections tables when ixx <= 0; only the file at position ixx otherwise). last_frame is the record of "
        "the last (or the selected) file, the very object held in the dict; (None, None) when there are no files. "
        "Masks stay compact (pelk_utils.Mask); the work runs without the GIL.");
  m.def("retrieve_annotation",
        [](const FsPath& json_path, const std::optional<FsPath>& save_path, bool box_drawing,
           const py::object& object_ids) {
          std::optional<std::vector<int>> ids;
          if (!(py::isinstance<py::str>(object_ids) && object_ids.cast<std::string>() == "all")) {
            ids.emplace();
            for (const py::handle id :
                 sequence_of(object_ids, "retrieve_annotation(): object_ids", "'all' or a list of object ids (int)")) {
              const std::int64_t value = whole_number(id, "retrieve_annotation(): object_ids");
              if (value < INT32_MIN || value > INT32_MAX) {
                value_error("retrieve_annotation(): object_ids: " + std::to_string(value) + " is not an object id");
              }
              ids->push_back(static_cast<int>(value));
            }
          }
          cv::Mat image;
          reraise_missing_files({json_path}, [&] {
            ReleaseGil release;
            image = retrieve_annotation(json_path, save_path ? std::optional<std::string>(save_path->bytes) : std::nullopt,
                                        box_drawing, ids);
          });
          return array_from_mat(swap_red_blue(image));
        },
        py::arg("json_path"), py::arg("save_path") = py::none(), py::arg("box_drawing") = false,
        py::arg("object_ids") = "all",
        "retrieve_annotation(json_path, save_path=None, box_drawing=False, object_ids='all') -> numpy.ndarray\n\n"
        "Returns the file's frame as an H x W x 4 RGBA array with the selected detections drawn (object_ids 'all' "
        "or a list of object ids); also written to save_path when given.");
  m.def("fix_polygon_scaling",
        [](const FsPath& json_path, const std::optional<FsPath>& save_path) {
          reraise_missing_files({json_path}, [&] {
            ReleaseGil release;
            fix_polygon_scaling(json_path, save_path ? std::optional<std::string>(save_path->bytes) : std::nullopt);
          });
        },
        py::arg("json_path"), py::arg("save_path") = py::none(),
        "fix_polygon_scaling(json_path, save_path=None) -> None\n\n"
        "Repairs a file whose polygons were normalised with width and height swapped (once per file!), writing to "
        "save_path or back to json_path atomically.");
  m.def("write_annotation_file",
        [](const FsPath& path, const FsPath& image_path, const py::object& objects) {
          std::vector<AnnotatedObject> list;
          for (const py::handle item : mapping_items(objects, "objects", "a dict object id -> mask")) {
            const auto pair = item.cast<py::tuple>();
            list.push_back({whole_number(pair[0], "objects key"),
                            mask_from_object(pair[1], "objects[" + py::repr(pair[0]).cast<std::string>() + "]")});
          }
          ReleaseGil release;
          write_annotation_file(path, image_path, list);
        },
        py::arg("path"), py::arg("image_path"), py::arg("objects"),
        "write_annotation_file(path, image_path, objects) -> None\n\n"
        "Writes one tracked frame as an annotation file (objects: dict object_id (from 1) -> mask), replacing path "
        "atomically; what a tracking loop saves per frame.");
}

}  // namespace pelk::python
