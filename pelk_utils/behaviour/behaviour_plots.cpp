#include "pelk_utils/behaviour/behaviour_plots.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/drawing.hpp"
#include "pelk_utils/core/number.hpp"

namespace pelk {
namespace {

const cv::Scalar kInk(40, 40, 40), kGrid(225, 225, 225), kAxis(120, 120, 120), kWhite(255, 255, 255);
constexpr int kTitle = 20, kLabel = 15, kTick = 13, kLegend = 14;

enum class Align { kLeft, kCentre, kRight };

// Draws texts on a chart and keeps them by role.
class Pen {
 public:
  explicit Pen(Chart& chart) : c_(chart) {}

  // Draws `s` vertically centred on `at.y`, aligned on `at.x`.
  void text(const std::string& role, const std::string& s, cv::Point at, int size, Align align = Align::kLeft,
            const cv::Scalar& colour = kInk) {
    c_.texts.push_back({role, s});
    const LabelFont& font = LabelFont::get();
    const cv::Size box = font.text_size(s, size);
    const int x = align == Align::kLeft ? at.x : align == Align::kCentre ? at.x - box.width / 2 : at.x - box.width;
    font.put_text(c_.image, s, {x, at.y - box.height / 2}, size, colour);
  }

  // Draws `s` turned a quarter counter-clockwise, centred on `centre`.
  void vertical(const std::string& role, const std::string& s, cv::Point centre, int size) {
    c_.texts.push_back({role, s});
    const LabelFont& font = LabelFont::get();
    const cv::Size box = font.text_size(s, size);
    cv::Mat3b flat(box.height + 8, box.width + 8, cv::Vec3b(255, 255, 255));
    cv::Mat flat_any = flat;
    font.put_text(flat_any, s, {4, 4}, size, kInk);
    cv::Mat turned;
    cv::rotate(flat, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
    const cv::Rect at(centre.x - turned.cols / 2, centre.y - turned.rows / 2, turned.cols, turned.rows);
    const cv::Rect inside = at & cv::Rect(0, 0, c_.image.cols, c_.image.rows);
    turned(inside - at.tl()).copyTo(c_.image(inside));
  }

  void legend(const std::vector<std::string>& names, const std::vector<cv::Scalar>& colours, cv::Point at) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      const int y = at.y + static_cast<int>(i) * 22;
      cv::rectangle(c_.image, cv::Rect(at.x, y - 6, 16, 12), colours[i], cv::FILLED);
      text("legend", names[i], {at.x + 24, y}, kLegend);
    }
  }

 private:
  Chart& c_;
};

std::vector<cv::Scalar> animal_colours(std::size_t n) {
  std::vector<cv::Scalar> colours;
  for (std::size_t i = 0; i < n; ++i) colours.push_back(animal_colour(i));
  return colours;
}

// The clock time of a camera bin label (hh:mm:ss); other labels as they are.
std::string short_label(const std::string& label) {
  const auto t = label.find('T');
  return t != std::string::npos && label.size() >= t + 9 ? label.substr(t + 1, 8) : label;
}

// What the bins' start labels count.
std::string bin_axis(const BehaviourResult& r, const std::vector<std::string>& bins) {
  if (r.time_unit == "frames") return "bin start (frame)";
  if (!bins.empty() && bins.front().find('T') != std::string::npos) return "bin start (camera clock, hh:mm:ss)";
  return "bin start (s from the first frame)";
}

struct Axis {
  std::vector<double> ticks;
  double low = 0, high = 1;
  double step() const { return ticks.size() > 1 ? ticks[1] - ticks[0] : 1; }
  // Returns the image row of `value` in the plotting `area` (low at its bottom).
  int row(double value, cv::Rect area) const {
    return area.y + area.height - static_cast<int>(std::lround((value - low) / (high - low) * area.height));
  }
};

// Draws the value axis at the left of `area`: a grid line and a label per tick.
void value_axis(Chart& c, Pen& pen, const Axis& y, cv::Rect area) {
  for (const double t : y.ticks) {
    cv::line(c.image, {area.x, y.row(t, area)}, {area.x + area.width, y.row(t, area)}, kGrid);
    pen.text("y_tick", tick_label(t, y.step()), {area.x - 8, y.row(t, area)}, kTick, Align::kRight);
  }
  cv::line(c.image, {area.x, area.y}, {area.x, area.y + area.height}, kAxis);
}

Axis axis_over(double low, double high) {
  Axis a;
  a.ticks = nice_ticks(low, high);
  a.low = a.ticks.front();
  a.high = a.ticks.back();
  return a;
}

// Lines over the bins, values[animal][bin] (NaN: no point), on a y axis.
Chart line_chart(const std::string& file, const std::string& title, const std::string& x_label,
                 const std::string& y_label, const std::vector<std::string>& bins, const std::vector<std::string>& animals,
                 const std::vector<std::vector<double>>& values, const Axis& y) {
  Chart c;
  c.file = file;
  c.image = cv::Mat3b(cv::Size(960, 540), cv::Vec3b(255, 255, 255));
  Pen pen(c);
  pen.text("title", title, {20, 22}, kTitle);
  const cv::Rect area(100, 56, 960 - 100 - 180, 540 - 56 - 84);
  const auto x_of = [&](std::size_t i) {
    return area.x + (bins.size() <= 1 ? area.width / 2
                                      : static_cast<int>(std::lround(static_cast<double>(i) * area.width /
                                                                     static_cast<double>(bins.size() - 1))));
  };
  const auto y_of = [&](double v) { return y.row(v, area); };
  value_axis(c, pen, y, area);
  cv::line(c.image, {area.x, area.y + area.height}, {area.x + area.width, area.y + area.height}, kAxis);
  const std::size_t every = std::max<std::size_t>(1, (bins.size() + 7) / 8);
  for (std::size_t i = 0; i < bins.size(); i += every) {
    cv::line(c.image, {x_of(i), area.y + area.height}, {x_of(i), area.y + area.height + 4}, kAxis);
    pen.text("x_tick", short_label(bins[i]), {x_of(i), area.y + area.height + 16}, kTick, Align::kCentre);
  }
  pen.text("x_label", x_label, {area.x + area.width / 2, area.y + area.height + 48}, kLabel, Align::kCentre);
  pen.vertical("y_label", y_label, {24, area.y + area.height / 2}, kLabel);
  const std::vector<cv::Scalar> colours = animal_colours(animals.size());
  for (std::size_t a = 0; a < animals.size(); ++a) {
    std::optional<cv::Point> last;
    for (std::size_t i = 0; i < values[a].size(); ++i) {
      if (!std::isfinite(values[a][i])) {
        last.reset();
        continue;
      }
      const cv::Point p(x_of(i), y_of(values[a][i]));
      if (last) cv::line(c.image, *last, p, colours[a], 2, cv::LINE_AA);
      cv::circle(c.image, p, 3, colours[a], cv::FILLED, cv::LINE_AA);
      last = p;
    }
  }
  pen.legend(animals, colours, {area.x + area.width + 30, area.y + 8});
  return c;
}

// Each animal's filtered path over the first frame, in frame pixels.
Chart paths_chart(const BehaviourResult& r, const std::vector<std::string>& animals) {
  const cv::Size frame(std::max(r.frame_size.width, 1), std::max(r.frame_size.height, 1));
  const int left = 90, top = 56, right = 190, bottom = 84;
  Chart c;
  c.file = "paths.png";
  c.image = cv::Mat3b(cv::Size(left + frame.width + right, top + frame.height + bottom), cv::Vec3b(255, 255, 255));
  c.frame_origin = {left, top};
  Pen pen(c);
  cv::Mat3b floor = cv::imread(r.first_image, cv::IMREAD_COLOR);
  if (floor.empty() || floor.size() != frame) floor = cv::Mat3b(frame, cv::Vec3b(255, 255, 255));
  floor = floor * 0.5 + cv::Scalar(127, 127, 127);
  cv::Mat3b plot = c.image(cv::Rect(c.frame_origin, frame));
  floor.copyTo(plot);
  const std::vector<cv::Scalar> colours = animal_colours(animals.size());
  for (std::size_t a = 0; a < r.paths.size(); ++a) {
    std::optional<cv::Point> last;
    for (const cv::Point2f& p : r.paths[a]) {
      if (!std::isfinite(p.x)) {
        last.reset();
        continue;
      }
      const cv::Point q(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
      if (last) cv::line(plot, *last, q, colours[a], 2, cv::LINE_AA);
      last = q;
    }
  }
  pen.text("title", "Paths: each animal's centroid after the jitter filter (" + format_number(r.frames) + " frames)",
           {20, 22}, kTitle);
  const cv::Rect area(c.frame_origin, frame);
  cv::rectangle(c.image, area, kAxis);
  const Axis x = axis_over(0, frame.width), y = axis_over(0, frame.height);
  for (const double t : x.ticks) {
    if (t > frame.width) break;
    const int at = area.x + static_cast<int>(std::lround(t));
    cv::line(c.image, {at, area.y + area.height}, {at, area.y + area.height + 4}, kAxis);
    pen.text("x_tick", tick_label(t, x.step()), {at, area.y + area.height + 16}, kTick, Align::kCentre);
  }
  for (const double t : y.ticks) {
    if (t > frame.height) break;
    const int at = area.y + static_cast<int>(std::lround(t));
    cv::line(c.image, {area.x - 4, at}, {area.x, at}, kAxis);
    pen.text("y_tick", tick_label(t, y.step()), {area.x - 8, at}, kTick, Align::kRight);
  }
  pen.text("x_label", "x (px, frame)", {area.x + area.width / 2, area.y + area.height + 48}, kLabel, Align::kCentre);
  pen.vertical("y_label", "y (px, frame; down)", {24, area.y + area.height / 2}, kLabel);
  if (r.px_per_metre) {
    // The longest of 0.5, 1, 2, 5 m that fits a quarter of the frame (1 m when it can).
    double metres = 0.5;
    for (const double m : {1.0, 2.0, 5.0}) {
      if (m * *r.px_per_metre <= frame.width / 4.0) metres = m;
    }
    if (metres > 1 && *r.px_per_metre <= frame.width / 4.0) metres = 1;
    const int length = static_cast<int>(std::lround(metres * *r.px_per_metre));
    const cv::Point from(area.x + 16, area.y + area.height - 18);
    cv::rectangle(c.image, cv::Rect(from.x - 6, from.y - 26, length + 12, 34), kWhite, cv::FILLED);
    cv::line(c.image, from, from + cv::Point(length, 0), kInk, 3);
    for (const int end : {0, length}) cv::line(c.image, from + cv::Point(end, -6), from + cv::Point(end, 6), kInk, 2);
    pen.text("scale_bar", tick_label(metres, metres) + " m", {from.x + length / 2, from.y - 14}, kTick, Align::kCentre);
  }
  pen.legend(animals, colours, {area.x + area.width + 24, area.y + 8});
  return c;
}

// Time in each zone per animal, as stacked bars.
Chart zones_chart(const BehaviourResult& r, const std::vector<std::string>& animals) {
  Chart c;
  c.file = "zones.png";
  c.image = cv::Mat3b(cv::Size(960, 540), cv::Vec3b(255, 255, 255));
  Pen pen(c);
  pen.text("title", "Time in zones per animal (the centroid inside the zone)", {20, 22}, kTitle);
  const cv::Rect area(100, 56, 960 - 100 - 180, 540 - 56 - 84);
  double top = 0;
  for (const AnimalSummary& s : r.summary) {
    double sum = 0;
    for (const double t : s.zone_time) sum += t;
    top = std::max(top, sum);
  }
  const Axis y = axis_over(0, top > 0 ? top : 1);
  const auto y_of = [&](double v) { return y.row(v, area); };
  value_axis(c, pen, y, area);
  const int width = area.width / std::max<int>(1, static_cast<int>(animals.size()));
  std::vector<cv::Scalar> colours;
  // Greys, so that no zone takes an animal's colour.
  for (std::size_t z = 0; z < r.zone_names.size(); ++z) colours.push_back(cv::Scalar::all(70 + 45 * static_cast<double>(z % 4)));
  for (std::size_t a = 0; a < r.summary.size(); ++a) {
    double below = 0;
    const int x = area.x + static_cast<int>(a) * width + width / 6;
    for (std::size_t z = 0; z < r.zone_names.size(); ++z) {
      const double above = below + r.summary[a].zone_time[z];
      cv::rectangle(c.image, cv::Rect(cv::Point(x, y_of(above)), cv::Point(x + width * 2 / 3, y_of(below))), colours[z],
                    cv::FILLED);
      below = above;
    }
    pen.text("x_tick", animals[a], {x + width / 3, area.y + area.height + 16}, kTick, Align::kCentre);
  }
  cv::line(c.image, {area.x, area.y + area.height}, {area.x + area.width, area.y + area.height}, kAxis);
  pen.text("x_label", "animal", {area.x + area.width / 2, area.y + area.height + 48}, kLabel, Align::kCentre);
  pen.vertical("y_label", "time in zone (" + r.time_unit + ")", {24, area.y + area.height / 2}, kLabel);
  pen.legend(r.zone_names, colours, {area.x + area.width + 30, area.y + 8});
  return c;
}

// White to deep orange: the contact matrix's scale from 0 to its top.
cv::Scalar contact_colour(double share) {
  share = std::clamp(share, 0.0, 1.0);
  return {255 * (1 - share), 255 * (1 - 0.6 * share), 255 - 80 * share};
}

// Total contact time per pair, rows and columns named by key.
Chart contacts_chart(const BehaviourResult& r, const std::vector<std::string>& animals) {
  const int n = static_cast<int>(animals.size()), cell = std::clamp(420 / std::max(1, n), 16, 60);
  const int left = 110, top = 120, matrix = n * cell;
  Chart c;
  c.file = "contacts.png";
  c.image = cv::Mat3b(cv::Size(std::max(left + matrix + 190, 620), top + std::max(matrix, 120) + 70),
                      cv::Vec3b(255, 255, 255));
  Pen pen(c);
  pen.text("title", "Contact time per pair (masks within the contact distance)", {20, 22}, kTitle);
  std::map<std::pair<std::string, std::string>, double> time;
  double most = 0;
  for (const ContactValue& v : r.contacts) {
    if (v.bin_start != "all") continue;
    time[{v.animal_a, v.animal_b}] = time[{v.animal_b, v.animal_a}] = v.time;
    most = std::max(most, v.time);
  }
  const Axis scale = axis_over(0, most > 0 ? most : 1);
  for (int i = 0; i < n; ++i) {
    const std::string& key = animals[static_cast<std::size_t>(i)];
    pen.text("y_tick", key, {left - 8, top + i * cell + cell / 2}, kTick, Align::kRight);
    if (LabelFont::get().text_size(key, kTick).width + 4 < cell) {
      pen.text("x_tick", key, {left + i * cell + cell / 2, top - 12}, kTick, Align::kCentre);
    } else {
      pen.vertical("x_tick", key, {left + i * cell + cell / 2, top - 8 - LabelFont::get().text_size(key, kTick).width / 2},
                   kTick);
    }
    for (int j = 0; j < n; ++j) {
      const auto it = time.find({key, animals[static_cast<std::size_t>(j)]});
      const double share = it == time.end() ? 0 : it->second / scale.high;
      cv::rectangle(c.image, cv::Rect(left + j * cell, top + i * cell, cell - 1, cell - 1),
                    i == j ? kGrid : contact_colour(share), cv::FILLED);
    }
  }
  pen.text("x_label", "animal", {left + matrix / 2, top + matrix + 30}, kLabel, Align::kCentre);
  pen.vertical("y_label", "animal", {24, top + matrix / 2}, kLabel);
  // The colour bar: 0 at the bottom, the scale's top at the top.
  const cv::Rect bar(left + matrix + 30, top, 18, std::max(matrix, 120));
  for (int y = 0; y < bar.height; ++y) {
    const double share = static_cast<double>(bar.height - 1 - y) / std::max(1, bar.height - 1);
    cv::line(c.image, {bar.x, bar.y + y}, {bar.x + bar.width - 1, bar.y + y}, contact_colour(share));
  }
  cv::rectangle(c.image, bar, kAxis);
  for (const double t : scale.ticks) {
    const int y = bar.y + bar.height - 1 - static_cast<int>(std::lround(t / scale.high * (bar.height - 1)));
    cv::line(c.image, {bar.x + bar.width, y}, {bar.x + bar.width + 4, y}, kInk);
    pen.text("colour_tick", tick_label(t, scale.step()), {bar.x + bar.width + 8, y}, kTick);
  }
  pen.vertical("colour_bar", "contact time (" + r.time_unit + ")", {bar.x + bar.width + 80, bar.y + bar.height / 2},
               kLabel);
  return c;
}

}  // namespace

std::vector<std::string> Chart::of(const std::string& role) const {
  std::vector<std::string> out;
  for (const ChartText& t : texts) {
    if (t.role == role) out.push_back(t.text);
  }
  return out;
}

cv::Scalar animal_colour(std::size_t index) {
  static const cv::Scalar palette[] = {{0, 159, 230},  {233, 180, 86}, {115, 158, 0},  {66, 228, 240},  {178, 114, 0},
                                       {0, 94, 213},   {167, 121, 204}, {0, 0, 0},     {153, 153, 153}, {85, 34, 136}};
  return palette[index % std::size(palette)];
}

std::vector<double> nice_ticks(double low, double high, int count) {
  if (!(std::isfinite(low) && std::isfinite(high))) low = 0, high = 1;
  if (high < low) std::swap(low, high);
  if (high == low) {
    const double pad = low == 0 ? 1 : std::abs(low) * 0.05;
    low -= pad, high += pad;
  }
  const double raw = (high - low) / std::max(1, count - 1);
  const double magnitude = std::pow(10, std::floor(std::log10(raw)));
  double step = 10 * magnitude;
  for (const double f : {1.0, 2.0, 2.5, 5.0}) {
    if (raw <= f * magnitude * (1 + 1e-9)) {
      step = f * magnitude;
      break;
    }
  }
  std::vector<double> ticks;
  const double first = std::floor(low / step + 1e-9) * step;
  for (int k = 0;; ++k) {
    const double t = first + k * step;
    ticks.push_back(std::abs(t) < step * 1e-9 ? 0.0 : t);
    if (t >= high - step * 1e-9) break;
  }
  return ticks;
}

std::string tick_label(double value, double step) {
  int decimals = 0;
  while (decimals < 9 && std::abs(step * std::pow(10, decimals) - std::round(step * std::pow(10, decimals))) > 1e-6) {
    ++decimals;
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

std::vector<Chart> behaviour_charts(const BehaviourResult& r) {
  std::vector<std::string> animals;
  for (const AnimalSummary& s : r.summary) animals.push_back(s.animal);
  std::vector<Chart> charts;
  charts.push_back(paths_chart(r, animals));

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
  const std::string x_label = bin_axis(r, bins);
  Axis share;
  share.ticks = {0, 0.25, 0.5, 0.75, 1};
  charts.push_back(line_chart("activity.png", "Activity per bin: the share of visible time active", x_label,
                              "share of visible time active", bins, animals,
                              series([&](const std::string& a, const std::string& b) {
                                const double seen = get("visible", a, b);
                                return seen > 0 ? get("active", a, b) / seen : std::nan("");
                              }),
                              share));
  const double per_area = r.px_per_metre ? 1 / (*r.px_per_metre * *r.px_per_metre) : 1;
  const std::vector<std::vector<double>> areas =
      series([&](const std::string& a, const std::string& b) { return get("median_area", a, b) * per_area; });
  double low = INFINITY, high = -INFINITY;
  for (const auto& s : areas) {
    for (const double v : s) {
      if (std::isfinite(v)) low = std::min(low, v), high = std::max(high, v);
    }
  }
  charts.push_back(line_chart("size.png", "Size index per bin: the median top-view mask area", x_label,
                              std::string("median mask area (") + (r.px_per_metre ? "m²" : "px²") + ")", bins, animals,
                              areas, std::isfinite(low) ? axis_over(low, high) : axis_over(0, 1)));
  if (!r.zone_names.empty()) charts.push_back(zones_chart(r, animals));
  charts.push_back(contacts_chart(r, animals));
  return charts;
}

std::vector<std::string> write_behaviour_plots(const BehaviourResult& r, const std::string& out_dir) {
  namespace fs = std::filesystem;
  fs::create_directories(out_dir);
  std::vector<std::string> written;
  for (const Chart& c : behaviour_charts(r)) {
    const std::string path = (fs::path(out_dir) / c.file).string();
    write_image_file_atomically(path, c.image, AtomicWriteOptions{.sync = false});
    written.push_back(path);
  }
  return written;
}

}  // namespace pelk
