#include "pelk_utils/annotation/render.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/annotation_file.hpp"
#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/drawing.hpp"

namespace pelk {
namespace fs = std::filesystem;
namespace {

constexpr int kSubpixelBits = 8;  // fillPoly shift: vertices in 1/256 px

cv::Mat read_image(const std::string& path, int flags) {
  const cv::Mat image = cv::imread(path, flags);
  if (image.empty()) throw std::runtime_error("cannot read image '" + path + "'");
  return image;
}

// Returns the vertices of a polygon string in 1/256 pixels.
std::vector<cv::Point> subpixel_points(const PolygonString& polygon, cv::Size size) {
  std::vector<cv::Point> points;
  const double scale = 1 << kSubpixelBits;
  for (std::size_t i = 0; i + 1 < polygon.coords.size(); i += 2) {
    const double x = polygon.coords[i] * size.width * scale, y = polygon.coords[i + 1] * size.height * scale;
    if (std::abs(x) > 1e9 || std::abs(y) > 1e9) {
      throw std::invalid_argument("polygon vertex far outside the image");
    }
    points.emplace_back(cvRound(x), cvRound(y));
  }
  return points;
}

std::optional<cv::Rect> last_box(const nlohmann::json& xyxy, const std::string& where) {
  if (!xyxy.is_array()) throw std::invalid_argument(where + ": \"xyxy\" is not an array");
  if (xyxy.empty()) return std::nullopt;
  const nlohmann::json& b = xyxy.back();
  if (!b.is_array() || b.size() != 4 || !std::all_of(b.begin(), b.end(), [](const auto& v) { return v.is_number(); })) {
    throw std::invalid_argument(where + ": last \"xyxy\" box is not four numbers");
  }
  const int x1 = static_cast<int>(b[0].get<double>()), y1 = static_cast<int>(b[1].get<double>());
  const int x2 = static_cast<int>(b[2].get<double>()), y2 = static_cast<int>(b[3].get<double>());
  return cv::Rect(cv::Point(x1, y1), cv::Point(x2, y2));
}

// Draws one detection into the overlay.
void draw_detection(cv::Mat& overlay, const nlohmann::json& detection, long long object_id, bool box_drawing,
                    std::mt19937& rng, const std::string& where) {
  std::uniform_int_distribution<int> channel(0, 254);
  const int r = channel(rng), g = channel(rng), b = channel(rng);
  const cv::Scalar opaque(b, g, r, 255), fill(b, g, r, 100);
  const std::optional<cv::Rect> box = last_box(require_key(detection, "xyxy", where), where);
  const nlohmann::json& polygons = require_key(detection, "formatted_polygon", where);
  if (!polygons.is_array()) throw std::invalid_argument(where + ": \"formatted_polygon\" is not an array");
  for (std::size_t k = 0; k < polygons.size(); ++k) {
    const std::string at = where + ", polygon " + std::to_string(k);
    if (!polygons[k].is_string()) throw std::invalid_argument(at + ": not a string");
    const PolygonString polygon = parse_polygon_string(polygons[k].get_ref<const std::string&>(), at);
    cv::fillPoly(overlay, std::vector<std::vector<cv::Point>>{subpixel_points(polygon, overlay.size())}, fill,
                 cv::LINE_8, kSubpixelBits);
  }
  if (!box_drawing || !box) return;
  const cv::Point tl = box->tl(), br = box->br();
  for (int k = 0; k < 2 && tl.x + k <= br.x - k && tl.y + k <= br.y - k; ++k) {
    cv::rectangle(overlay, tl + cv::Point(k, k), br - cv::Point(k, k), opaque, 1, cv::LINE_8);
  }
  const std::string label = "Box " + std::to_string(object_id - 1);
  const LabelFont& font = LabelFont::get();
  const cv::Size text = font.text_size(label, 11);
  cv::rectangle(overlay, cv::Point(tl.x, tl.y - text.height - 4), cv::Point(tl.x + text.width + 4, tl.y), opaque,
                cv::FILLED);
  font.put_text(overlay, label, cv::Point(tl.x + 2, tl.y - text.height - 2), 11, cv::Scalar(255, 255, 255, 255));
}

// Composites `overlay` over `base` (both CV_8UC4) in place of `base`.
void composite_overlay(cv::Mat& base, const cv::Mat& overlay) {
  for (int y = 0; y < base.rows; ++y) {
    const cv::Vec4b* s = overlay.ptr<cv::Vec4b>(y);
    cv::Vec4b* d = base.ptr<cv::Vec4b>(y);
    for (int x = 0; x < base.cols; ++x) {
      if (s[x][3] == 0) continue;
      const double sa = s[x][3] / 255.0, da = d[x][3] / 255.0, oa = sa + da * (1 - sa);
      for (int c = 0; c < 3; ++c) d[x][c] = cv::saturate_cast<uchar>((s[x][c] * sa + d[x][c] * da * (1 - sa)) / oa);
      d[x][3] = cv::saturate_cast<uchar>(oa * 255);
    }
  }
}

void write_image_atomically(const std::string& path, const cv::Mat& image) {
  const fs::path target(path);
  fs::path temp = target.parent_path() / (".tmp_" + target.stem().string() + "_" + std::to_string(std::random_device{}()) +
                                          target.extension().string());
  bool ok = false;
  try {
    ok = cv::imwrite(temp.string(), image);
  } catch (const cv::Exception& e) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw std::runtime_error("cannot write image '" + path + "': " + e.what());
  }
  std::error_code ec;
  if (ok) fs::rename(temp, target, ec);
  if (!ok || ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw std::runtime_error("cannot write image '" + path + "'" + (ec ? ": " + ec.message() : ""));
  }
}

std::string six_decimals(double v) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.6f", v);
  return buf;
}

}  // namespace

cv::Mat retrieve_annotation(const std::string& json_path, const std::optional<std::string>& save_path,
                            bool box_drawing, const std::optional<std::vector<int>>& object_ids) {
  const nlohmann::json doc = read_json_file(json_path);
  const std::string file = "'" + json_path + "'";
  const nlohmann::json& image_path = require_key(doc, "image_path", file);
  if (!image_path.is_string()) throw std::invalid_argument(file + ": \"image_path\" is not a string");
  cv::Mat frame = read_image(image_path.get<std::string>(), cv::IMREAD_UNCHANGED);
  if (frame.depth() != CV_8U || frame.channels() == 2) frame = read_image(image_path.get<std::string>(), cv::IMREAD_COLOR);
  cv::Mat picture = to_bgra_image(frame);
  cv::Mat overlay(picture.size(), CV_8UC4, cv::Scalar(255, 255, 255, 0));
  const nlohmann::json& detections = require_key(doc, "detections", file);
  if (!detections.is_array()) throw std::invalid_argument(file + ": \"detections\" is not an array");
  std::mt19937 rng(std::random_device{}());
  for (std::size_t d = 0; d < detections.size(); ++d) {
    const std::string where = file + ", detection " + std::to_string(d);
    const nlohmann::json& id = require_key(detections[d], "object_id", where);
    if (!id.is_number_integer()) throw std::invalid_argument(where + ": \"object_id\" is not an integer");
    const long long object_id = id.get<long long>();
    if (object_ids && std::find(object_ids->begin(), object_ids->end(), object_id) == object_ids->end()) continue;
    draw_detection(overlay, detections[d], object_id, box_drawing, rng, where);
  }
  composite_overlay(picture, overlay);
  if (save_path && !save_path->empty()) write_image_atomically(*save_path, picture);
  return picture;
}

void fix_polygon_scaling(const std::string& json_path, const std::optional<std::string>& save_path) {
  nlohmann::ordered_json doc = read_ordered_json_file(json_path);
  const std::string file = "'" + json_path + "'";
  if (!doc.is_object() || !doc.contains("image_path")) throw std::out_of_range(file + ": missing key \"image_path\"");
  cv::Size size;
  try {
    size = read_image(doc["image_path"].get<std::string>(), cv::IMREAD_UNCHANGED).size();
  } catch (const std::exception& e) {
    std::cout << "Error loading image: " << e.what() << "\n";
    return;
  }
  const double x_scale = static_cast<double>(size.height) / size.width;
  const double y_scale = static_cast<double>(size.width) / size.height;
  if (!doc.contains("detections")) throw std::out_of_range(file + ": missing key \"detections\"");
  auto& detections = doc["detections"];
  if (!detections.is_array()) throw std::invalid_argument(file + ": \"detections\" is not an array");
  for (std::size_t d = 0; d < detections.size(); ++d) {
    const std::string where = file + ", detection " + std::to_string(d);
    auto& detection = detections[d];
    if (!detection.is_object() || !detection.contains("formatted_polygon")) {
      throw std::out_of_range(where + ": missing key \"formatted_polygon\"");
    }
    auto& polygons = detection["formatted_polygon"];
    if (!polygons.is_array()) throw std::invalid_argument(where + ": \"formatted_polygon\" is not an array");
    nlohmann::ordered_json repaired = nlohmann::ordered_json::array();
    for (std::size_t k = 0; k < polygons.size(); ++k) {
      const std::string at = where + ", polygon " + std::to_string(k);
      if (!polygons[k].is_string()) throw std::invalid_argument(at + ": not a string");
      const PolygonString polygon = parse_polygon_string(polygons[k].get<std::string>(), at);
      std::string text = polygon.identifier;
      for (std::size_t i = 0; i + 1 < polygon.coords.size(); i += 2) {
        text += " " + six_decimals(polygon.coords[i] * x_scale) + " " + six_decimals(polygon.coords[i + 1] * y_scale);
      }
      repaired.push_back(text);
    }
    polygons = std::move(repaired);
  }
  write_file_atomically(save_path.value_or(json_path), doc.dump(4, ' ', true));
}

}  // namespace pelk
