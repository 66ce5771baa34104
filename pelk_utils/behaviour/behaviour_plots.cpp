#include "pelk_utils/behaviour/behaviour_plots.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/number.hpp"

namespace pelk {
namespace {

const cv::Scalar kInk(40, 40, 40), kGrid(225, 225, 225), kWhite(255, 255, 255);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;

void text(cv::Mat& m, const std::string& s, cv::Point at, double scale = 0.45, const cv::Scalar& colour = kInk) {
  cv::putText(m, s, at, kFont, scale, colour, 1, cv::LINE_AA);
}

// A canvas with a title and a plotting area; returns the area.
cv::Rect canvas(cv::Mat3b& m, const std::string& title, cv::Size size = {960, 540}) {
  m = cv::Mat3b(size, cv::Vec3b(255, 255, 255));
  text(m, title, {20, 28}, 0.65);
  return {80, 50, size.width - 250, size.height - 110};
}

void legend(cv::Mat3b& m, const std::vector<std::string>& names, int x, const std::vector<cv::Scalar>& colours) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    const int y = 60 + static_cast<int>(i) * 20;
    cv::rectangle(m, {x, y - 10, 14, 10}, colours[i], cv::FILLED);
    text(m, names[i], {x + 20, y});
  }
}

std::string short_label(const std::string& label) {
  // Camera times show their clock time (hh:mm:ss); other labels as they are.
  const auto t = label.find('T');
  return t != std::string::npos && label.size() >= t + 9 ? label.substr(t + 1, 8) : label;
}

// Lines over the bins: values[animal][bin] (NaN: no point).
cv::Mat3b line_chart(const std::string& title, const std::string& y_label, const std::vector<std::string>& bins,
                     const std::vector<std::string>& animals, const std::vector<std::vector<double>>& values) {
  cv::Mat3b m;
  const cv::Rect area = canvas(m, title);
  double top = 0;
  for (const auto& series : values) {
    for (const double v : series) {
      if (std::isfinite(v)) top = std::max(top, v);
    }
  }
  if (top <= 0) top = 1;
  const auto x_of = [&](std::size_t i) {
    return area.x + (bins.size() <= 1 ? area.width / 2
                                      : static_cast<int>(std::lround(static_cast<double>(i) * area.width / static_cast<double>(bins.size() - 1))));
  };
  const auto y_of = [&](double v) { return area.y + area.height - static_cast<int>(std::lround(v / top * area.height)); };
  for (int k = 0; k <= 4; ++k) {
    const double v = top * k / 4;
    cv::line(m, {area.x, y_of(v)}, {area.x + area.width, y_of(v)}, kGrid);
    text(m, format_number(std::round(v * 100) / 100), {10, y_of(v) + 4}, 0.4);
  }
  text(m, y_label, {area.x, area.y + area.height + 45}, 0.45);
  const std::size_t step = std::max<std::size_t>(1, bins.size() / 8);
  for (std::size_t i = 0; i < bins.size(); i += step) text(m, short_label(bins[i]), {x_of(i) - 28, area.y + area.height + 20}, 0.4);
  std::vector<cv::Scalar> colours;
  for (std::size_t a = 0; a < animals.size(); ++a) {
    colours.push_back(animal_colour(a));
    std::optional<cv::Point> last;
    for (std::size_t i = 0; i < values[a].size(); ++i) {
      if (!std::isfinite(values[a][i])) {
        last.reset();
        continue;
      }
      const cv::Point p(x_of(i), y_of(values[a][i]));
      if (last) cv::line(m, *last, p, colours.back(), 2, cv::LINE_AA);
      cv::circle(m, p, 2, colours.back(), cv::FILLED, cv::LINE_AA);
      last = p;
    }
  }
  legend(m, animals, area.x + area.width + 30, colours);
  return m;
}

void save(const cv::Mat& picture, const std::filesystem::path& path, std::vector<std::string>& written) {
  write_image_file_atomically(path.string(), picture, AtomicWriteOptions{.sync = false});
  written.push_back(path.string());
}

}  // namespace

cv::Scalar animal_colour(std::size_t index) {
  static const cv::Scalar palette[] = {{0, 159, 230},  {233, 180, 86}, {115, 158, 0},  {66, 228, 240},  {178, 114, 0},
                                       {0, 94, 213},   {167, 121, 204}, {0, 0, 0},     {153, 153, 153}, {85, 34, 136}};
  return palette[index % std::size(palette)];
}

std::vector<std::string> write_behaviour_plots(const BehaviourResult& r, const std::string& out_dir) {
  namespace fs = std::filesystem;
  fs::create_directories(out_dir);
  const fs::path dir(out_dir);
  std::vector<std::string> written;
  std::vector<std::string> animals;
  for (const AnimalSummary& s : r.summary) animals.push_back(s.animal);

  // Paths over the first frame.
  cv::Mat3b paths = cv::imread(r.first_image, cv::IMREAD_COLOR);
  if (paths.empty() || paths.size() != r.frame_size) {
    paths = cv::Mat3b(cv::Size(std::max(r.frame_size.width, 1), std::max(r.frame_size.height, 1)), cv::Vec3b(255, 255, 255));
  }
  paths = paths * 0.5 + cv::Scalar(127, 127, 127);
  for (std::size_t a = 0; a < r.paths.size(); ++a) {
    std::optional<cv::Point> last;
    for (const cv::Point2f& p : r.paths[a]) {
      if (!std::isfinite(p.x)) {
        last.reset();
        continue;
      }
      const cv::Point q(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
      if (last) cv::line(paths, *last, q, animal_colour(a), 2, cv::LINE_AA);
      last = q;
    }
    if (last) text(paths, animals[a], *last + cv::Point(4, -4), 0.6, animal_colour(a));
  }
  save(paths, dir / "paths.png", written);

  // Per-bin series from the tidy table.
  std::vector<std::string> bins;
  std::map<std::string, std::map<std::string, std::map<std::string, double>>> by;  // measure -> animal -> bin -> value
  for (const BehaviourValue& v : r.values) {
    if (std::find(bins.begin(), bins.end(), v.bin_start) == bins.end()) bins.push_back(v.bin_start);
    by[v.measure][v.animal][v.bin_start] = v.value;
  }
  const auto series = [&](const std::function<double(const std::string&, const std::string&)>& value) {
    std::vector<std::vector<double>> out;
    for (const std::string& a : animals) {
      std::vector<double>& s = out.emplace_back();
      for (const std::string& b : bins) s.push_back(value(a, b));
    }
    return out;
  };
  const auto get = [&](const std::string& measure, const std::string& a, const std::string& b) {
    const auto& m = by[measure][a];
    const auto it = m.find(b);
    return it == m.end() ? std::nan("") : it->second;
  };
  save(line_chart("Activity: share of visible time active, per bin", "bins (start)", bins, animals,
                  series([&](const std::string& a, const std::string& b) {
                    const double seen = get("visible", a, b);
                    return seen > 0 ? get("active", a, b) / seen : std::nan("");
                  })),
       dir / "activity.png", written);
  save(line_chart("Size index: median mask area (px), per bin", "bins (start)", bins, animals,
                  series([&](const std::string& a, const std::string& b) { return get("median_area", a, b); })),
       dir / "size.png", written);

  // Time in zones: stacked bars per animal.
  if (!r.zone_names.empty()) {
    cv::Mat3b m;
    const cv::Rect area = canvas(m, "Time in zones (" + r.time_unit + ")");
    double top = 0;
    for (const AnimalSummary& s : r.summary) {
      double sum = 0;
      for (const double t : s.zone_time) sum += t;
      top = std::max(top, sum);
    }
    if (top <= 0) top = 1;
    const int width = area.width / std::max<int>(1, static_cast<int>(animals.size()));
    std::vector<cv::Scalar> colours;
    for (std::size_t z = 0; z < r.zone_names.size(); ++z) colours.push_back(animal_colour(z + 3));
    for (std::size_t a = 0; a < r.summary.size(); ++a) {
      int y = area.y + area.height;
      const int x = area.x + static_cast<int>(a) * width + width / 6;
      for (std::size_t z = 0; z < r.zone_names.size(); ++z) {
        const int h = static_cast<int>(std::lround(r.summary[a].zone_time[z] / top * area.height));
        cv::rectangle(m, {x, y - h, width * 2 / 3, h}, colours[z], cv::FILLED);
        y -= h;
      }
      text(m, animals[a], {x, area.y + area.height + 20}, 0.4);
    }
    text(m, "max " + format_number(std::round(top * 100) / 100) + " " + r.time_unit, {10, area.y + 10}, 0.4);
    legend(m, r.zone_names, area.x + area.width + 30, colours);
    save(m, dir / "zones.png", written);
  }

  // Contact matrix: total contact time per pair.
  {
    const int n = static_cast<int>(animals.size()), cell = std::clamp(420 / std::max(1, n), 12, 60);
    cv::Mat3b m(cv::Size(140 + n * cell + 40, 110 + n * cell + 40), cv::Vec3b(255, 255, 255));
    text(m, "Contact time (" + r.time_unit + ") per pair", {20, 28}, 0.65);
    std::map<std::pair<std::string, std::string>, double> time;
    double top = 0;
    for (const ContactValue& c : r.contacts) {
      if (c.bin_start != "all") continue;
      time[{c.animal_a, c.animal_b}] = time[{c.animal_b, c.animal_a}] = c.time;
      top = std::max(top, c.time);
    }
    for (int i = 0; i < n; ++i) {
      text(m, animals[static_cast<std::size_t>(i)], {20, 110 + i * cell + cell / 2 + 4}, 0.4);
      text(m, animals[static_cast<std::size_t>(i)], {140 + i * cell, 100}, 0.35);
      for (int j = 0; j < n; ++j) {
        const auto it = time.find({animals[static_cast<std::size_t>(i)], animals[static_cast<std::size_t>(j)]});
        const double share = it == time.end() || top <= 0 ? 0 : it->second / top;
        const cv::Scalar colour(255 * (1 - share), 255 * (1 - 0.6 * share), 255);
        cv::rectangle(m, {140 + j * cell, 110 + i * cell, cell - 1, cell - 1}, i == j ? kGrid : colour, cv::FILLED);
      }
    }
    text(m, "darkest: " + format_number(std::round(top * 100) / 100) + " " + r.time_unit, {20, 60}, 0.4);
    save(m, dir / "contacts.png", written);
  }
  return written;
}

}  // namespace pelk
