#include "pelk_utils/analytics/heatmap.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/analytics/figure.hpp"
#include "pelk_utils/core/drawing.hpp"

namespace pelk {
namespace {

// matplotlib's "Reds" (ColorBrewer, 9 anchors), RGB in 0..1.
constexpr double kReds[9][3] = {{1.0, 0.9607843137, 0.9411764706}, {0.9960784314, 0.8784313725, 0.8235294118},
                                {0.9882352941, 0.7333333333, 0.6313725490}, {0.9882352941, 0.5725490196, 0.4470588235},
                                {0.9843137255, 0.4156862745, 0.2901960784}, {0.9372549020, 0.2313725490, 0.1725490196},
                                {0.7960784314, 0.0941176471, 0.1137254902}, {0.6470588235, 0.0588235294, 0.0823529412},
                                {0.4039215686, 0.0, 0.0509803922}};

const cv::Scalar kBlack(0, 0, 0), kWhite(255, 255, 255), kGrey(128, 128, 128);
constexpr int kTickSize = 13, kTitleSize = 16, kLabelSize = 14;
constexpr int kCellTextSize = 8 * kHeatmapDpi / 72;  // 8 pt

void put(cv::Mat& image, const std::string& text, cv::Point centre, int size, const cv::Scalar& colour) {
  const LabelFont& font = LabelFont::get();
  const cv::Size s = font.text_size(text, size);
  font.put_text(image, text, centre - cv::Point(s.width / 2, s.height / 2), size, colour);
}

// Draws `text` turned a quarter counter-clockwise, centred on `centre`.
void put_vertical(cv::Mat& image, const std::string& text, cv::Point centre, int size) {
  const cv::Size s = LabelFont::get().text_size(text, size);
  cv::Mat flat(s.height + 8, s.width + 8, CV_8UC3, kWhite);
  LabelFont::get().put_text(flat, text, cv::Point(4, 4), size, kBlack);
  cv::Mat turned;
  cv::rotate(flat, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
  const cv::Rect at(centre.x - turned.cols / 2, centre.y - turned.rows / 2, turned.cols, turned.rows);
  const cv::Rect inside = at & cv::Rect(0, 0, image.cols, image.rows);
  turned(inside - at.tl()).copyTo(image(inside));
}

bool is_dark(const cv::Vec3b& bgr) {
  // Relative luminance as seaborn uses it to pick the annotation colour.
  const auto lin = [](double c) { c /= 255; return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
  return 0.2126 * lin(bgr[2]) + 0.7152 * lin(bgr[1]) + 0.0722 * lin(bgr[0]) <= 0.408;
}

std::string two_decimals(double v) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.2f", v);
  return buf;
}

}  // namespace

cv::Vec3b reds_colour(double percent) {
  const double t = std::clamp(std::isnan(percent) ? 0.0 : percent / 100.0, 0.0, 1.0) * 8;
  const int i = std::min(7, static_cast<int>(t));
  const double f = t - i;
  cv::Vec3b bgr;
  for (int c = 0; c < 3; ++c) {
    const double v = kReds[i][c] + (kReds[i + 1][c] - kReds[i][c]) * f;
    bgr[2 - c] = cv::saturate_cast<uchar>(v * 255);
  }
  return bgr;
}

namespace {

// What the heat map's texts say: the plain one's "Mask i" or the box keys.
struct HeatmapTexts {
  std::string title, x_label, y_label;
  std::function<std::string(int)> tick;
};

cv::Mat render_heatmap(const IntersectionsTable& intersections_df, const HeatmapTexts& texts) {
  const cv::Mat1d& values = intersections_df.values();
  const int n = values.rows;
  cv::Mat image(5 * kHeatmapDpi, 7 * kHeatmapDpi, CV_8UC3, kWhite);
  put(image, texts.title, cv::Point(image.cols / 2 - 20, 22), kTitleSize, kBlack);
  const int left = 110, top = 45, bottom_space = 75, bar_space = 110;
  const int side = std::min(image.cols - left - bar_space, image.rows - top - bottom_space);
  const int cell = n > 0 ? side / n : side;
  const cv::Rect map(left, top, cell * std::max(n, 1), cell * std::max(n, 1));
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const cv::Rect box(map.x + c * cell, map.y + r * cell, cell, cell);
      const cv::Vec3b colour = reds_colour(values(r, c));
      image(box).setTo(colour);
      put(image, two_decimals(values(r, c)), (box.tl() + box.br()) / 2, kCellTextSize,
          is_dark(colour) ? kWhite : kBlack);
    }
  }
  for (int k = 0; k <= n && n > 0; ++k) {  // 0.5-pt grey borders between cells
    cv::line(image, {map.x + k * cell, map.y}, {map.x + k * cell, map.y + map.height}, kGrey, 1);
    cv::line(image, {map.x, map.y + k * cell}, {map.x + map.width, map.y + k * cell}, kGrey, 1);
  }
  for (int k = 0; k < n; ++k) {
    const std::string tick = texts.tick(k);
    const int tick_w = LabelFont::get().text_size(tick, kTickSize).width;
    put(image, tick, cv::Point(map.x - 8 - tick_w / 2, map.y + k * cell + cell / 2), kTickSize, kBlack);
    if (tick_w + 4 < cell) {
      put(image, tick, cv::Point(map.x + k * cell + cell / 2, map.y + map.height + 14), kTickSize, kBlack);
    } else {
      put_vertical(image, tick, cv::Point(map.x + k * cell + cell / 2, map.y + map.height + 8 + tick_w / 2), kTickSize);
    }
  }
  put(image, texts.x_label, cv::Point(map.x + map.width / 2, image.rows - 16), kLabelSize, kBlack);
  put_vertical(image, texts.y_label, cv::Point(22, map.y + map.height / 2), kLabelSize);
  // Colour bar: 0 at the bottom, 100 at the top, ticks every 20.
  const cv::Rect bar(map.x + map.width + 25, map.y, 20, map.height);
  for (int y = 0; y < bar.height; ++y) {
    const double percent = 100.0 * (bar.height - 1 - y) / std::max(1, bar.height - 1);
    image(cv::Rect(bar.x, bar.y + y, bar.width, 1)).setTo(reds_colour(percent));
  }
  cv::rectangle(image, bar, kGrey, 1);
  for (int p = 0; p <= 100; p += 20) {
    const int y = bar.y + bar.height - 1 - (bar.height - 1) * p / 100;
    cv::line(image, {bar.x + bar.width, y}, {bar.x + bar.width + 4, y}, kBlack, 1);
    const std::string label = std::to_string(p);
    const int w = LabelFont::get().text_size(label, kTickSize).width;
    put(image, label, cv::Point(bar.x + bar.width + 8 + w / 2, y), kTickSize, kBlack);
  }
  return image;
}

}  // namespace

cv::Mat render_intersection_heatmap(const IntersectionsTable& intersections_df) {
  return render_heatmap(intersections_df, {"Intersection Heatmap %", "Mask 2", "Mask 1",
                                           [](int k) { return "Mask " + std::to_string(k); }});
}

cv::Mat render_keyed_intersection_heatmap(const IntersectionsTable& intersections_df) {
  return render_heatmap(intersections_df,
                        {"% of the row animal's mask covered", "covering animal (column)", "covered animal (row)",
                         [&](int k) { return intersections_df.keys()[static_cast<std::size_t>(k)]; }});
}

void draw_intersection_heatmap(const IntersectionsTable& intersections_df) {
  present_figure(Figure{render_intersection_heatmap(intersections_df), "Intersection Heatmap %"});
}

}  // namespace pelk
