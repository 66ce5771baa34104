// The synthetic pen scene for Python, so examples and tests run the whole
// road without a camera: frames, a recording, the pen file and the truth.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/synth/pen_scene.hpp"

namespace pelk::python {

void bind_synth(py::module_& m) {
  using synth::PenScene;
  using synth::SceneConfig;
  py::class_<PenScene>(m, "PenScene", R"doc(
A synthetic overhead pen recording (ten light animals on a dark floor, with
scripted events: two lying over each other, one leaving, one cut by a beam),
deterministic from its seed; every frame comes with its truth.)doc")
      .def(py::init([](std::uint64_t seed, std::pair<int, int> frame_size, int frames, double fps) {
             SceneConfig c;
             c.seed = seed;
             c.frame_size = cv::Size(frame_size.second, frame_size.first);
             c.frames = frames;
             c.fps = fps;
             return PenScene(c);
           }),
           py::arg("seed") = 1, py::arg("frame_size") = std::pair<int, int>{1440, 1180}, py::arg("frames") = 200,
           py::arg("fps") = 25,
           "PenScene(seed=1, frame_size=(1440, 1180) as (height, width), frames=200, fps=25)")
      .def("render", [](const PenScene& s, int f) { return array_from_mat(swap_red_blue(s.render(f))); }, py::arg("f"),
           "render(f) -> numpy.ndarray\n\nReturns cropped frame f as an H x W x 3 uint8 RGB array.")
      .def("truth",
           [](const PenScene& s, int f) {
             py::dict dict;
             for (const auto& a : s.truth(f)) dict[py::str("Box" + std::to_string(a.identity))] = a.mask;
             return dict;
           },
           py::arg("f"), "truth(f) -> dict\n\nReturns box key -> visible Mask of every animal in frame f.")
      .def("write_pen_file", [](const PenScene& s, const FsPath& path) { s.write_pen_file(path); }, py::arg("path"),
           "write_pen_file(path) -> None\n\nWrites the pen-polygon file.")
      .def("write_frames",
           [](const PenScene& s, const FsPath& dir, int first, int count) {
             std::vector<std::string> paths;
             {
               ReleaseGil release;
               paths = s.write_frames(dir, first, count);
             }
             return path_list(paths);
           },
           py::arg("dir"), py::arg("first"), py::arg("count"),
           "write_frames(dir, first, count) -> list[str]\n\nWrites frames as dir/0000.jpg, ... and returns the paths.")
      .def("write_camera_video",
           [](const PenScene& s, const FsPath& dir, int camera, const std::string& datetime) {
             std::string path;
             {
               ReleaseGil release;
               path = s.write_camera_video(dir, camera, datetime);
             }
             return path_str(path);
           },
           py::arg("dir"), py::arg("camera") = 62, py::arg("datetime") = "20240405070000",
           "write_camera_video(dir, camera=62, datetime='20240405070000') -> str\n\nWrites the whole recording as "
           "dir/Camera<camera>_1_<datetime>.mp4 and returns its path.");
}

}  // namespace pelk::python
