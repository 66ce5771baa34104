#include "pelk_utils/annotation/annotation_writer.hpp"

#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/py_text.hpp"

namespace pelk {

std::vector<std::string> mask_polygons(const Mask& mask, const std::string& identifier) {
  std::vector<std::string> out;
  if (mask.empty()) return out;
  const cv::Rect r = mask.bounds();
  cv::Mat1b padded = cv::Mat1b::zeros(r.height + 2, r.width + 2);
  mask.roi().copyTo(padded(cv::Rect(1, 1, r.width, r.height)));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(padded, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, r.tl() - cv::Point(1, 1));
  const double w = mask.size().width, h = mask.size().height;
  for (const auto& contour : contours) {
    std::string text = identifier;
    char buf[64];
    for (const cv::Point& p : contour) {
      // Vertices at pixel centres plus a hair, so truncation lands on the pixel.
      std::snprintf(buf, sizeof(buf), " %.6f %.6f", (p.x + 0.5) / w, (p.y + 0.5) / h);
      text += buf;
    }
    out.push_back(std::move(text));
  }
  return out;
}

std::string annotation_document(const std::string& image_path, const std::vector<AnnotatedObject>& objects) {
  if (!is_utf8(image_path)) {
    throw std::invalid_argument("the frame path '" + escape_non_utf8(image_path) +
                                "' is not valid UTF-8, which an annotation file (JSON) cannot store; rename the "
                                "folder or file to UTF-8 (for example with convmv) and run again");
  }
  nlohmann::ordered_json doc;
  doc["image_path"] = image_path;
  doc["detections"] = nlohmann::ordered_json::array();
  for (const AnnotatedObject& o : objects) {
    nlohmann::ordered_json d;
    d["object_id"] = o.object_id;
    d["xyxy"] = nlohmann::ordered_json::array();
    if (!o.mask.empty()) {
      const Box b = o.mask.box();
      d["xyxy"].push_back({b[0], b[1], b[2], b[3]});
    }
    d["formatted_polygon"] = o.polygons.empty() ? mask_polygons(o.mask) : o.polygons;
    doc["detections"].push_back(std::move(d));
  }
  return doc.dump(4, ' ', true);
}

void write_annotation_file(const std::string& path, const std::string& image_path,
                           const std::vector<AnnotatedObject>& objects) {
  write_file_atomically(path, annotation_document(image_path, objects), AtomicWriteOptions{.sync = false});
}

}  // namespace pelk
