// Pen geometry on pens of 10^2 .. 10^6 vertices (a circle): the area ratio of
// ten boxes (calculate_pen_intersection_ratio) and the in-pen mask of one
// animal (get_in_pen_mask, pen read from its file). Prints the time per box
// and per mask for each size and the growth per tenfold of vertices, beside
// linear growth (10x): a hostile pen file must not cost quadratic time.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/detect/pen.hpp"

namespace {

using Clock = std::chrono::steady_clock;

pelk::PenPolygon circle(int vertices) {
  pelk::PenPolygon pen;
  for (int i = 0; i < vertices; ++i) {
    const double a = 2 * M_PI * i / vertices;
    pen.push_back({pelk::Number(1180.0 + 1000 * std::cos(a)), pelk::Number(720.0 + 700 * std::sin(a))});
  }
  return pen;
}

// Ten boxes: inside, across the edge and outside the pen.
std::vector<pelk::Box> boxes() {
  std::vector<pelk::Box> out;
  for (int b = 0; b < 10; ++b) out.push_back({60.0 + b * 230, 100.0 + b * 120, 260.0 + b * 230, 300.0 + b * 120});
  return out;
}

std::string write_pen_file(const pelk::PenPolygon& pen, const std::filesystem::path& dir) {
  const std::string path = (dir / "pen.json").string();
  std::ofstream out(path);
  out << "{\"shapes\": [{\"points\": [";
  for (std::size_t i = 0; i < pen.size(); ++i) out << (i ? ", [" : "[") << pen[i].x.text() << ", " << pen[i].y.text() << "]";
  out << "]}]}";
  return path;
}

template <typename F>
double median_seconds(int runs, F&& work) {
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    const auto start = Clock::now();
    work();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
  return times[runs / 2];
}

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() / "pelk_pen_geometry_bench";
  std::filesystem::create_directories(dir);
  const pelk::Mask animal(cv::Size(2360, 1440), cv::Rect(1000, 600, 300, 200), cv::Mat1b(200, 300, uchar{1}));
  std::printf("pen geometry, median of runs; growth per tenfold vertices (linear: 10x)\n");
  std::printf("%10s %16s %8s %16s %8s\n", "vertices", "ratio per box", "growth", "in-pen mask", "growth");
  double last_box = 0, last_mask = 0;
  for (int vertices : {100, 1000, 10000, 100000, 1000000}) {
    const pelk::PenPolygon pen = circle(vertices);
    const std::string file = write_pen_file(pen, dir);
    const int runs = vertices >= 1000000 ? 3 : 7;
    const double per_box =
        median_seconds(runs, [&] { pelk::calculate_pen_intersection_ratio(pen, boxes(), 50); }) / 10;
    const double per_mask = median_seconds(runs, [&] { pelk::get_in_pen_mask(0, animal, file, {"frame.jpg"}); });
    std::printf("%10d %13.3f ms %7.1fx %13.3f ms %7.1fx\n", vertices, per_box * 1e3,
                last_box > 0 ? per_box / last_box : 0.0, per_mask * 1e3, last_mask > 0 ? per_mask / last_mask : 0.0);
    last_box = per_box;
    last_mask = per_mask;
  }
  std::filesystem::remove_all(dir);
  return 0;
}
