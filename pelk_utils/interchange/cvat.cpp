#include "pelk_utils/interchange/cvat.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/streamed_file.hpp"

namespace pelk {
namespace {

// Twice the signed area of a polygon (shoelace), for choosing the largest.
double doubled_area(const std::vector<double>& p) {
  double sum = 0;
  const std::size_t n = p.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = (i + 1) % n;
    sum += p[2 * i] * p[2 * j + 1] - p[2 * j] * p[2 * i + 1];
  }
  return std::abs(sum);
}

std::string shape(std::size_t frame, bool outside, const std::string& points) {
  return "    <polygon frame=\"" + std::to_string(frame) + "\" outside=\"" + (outside ? "1" : "0") +
         "\" occluded=\"0\" keyframe=\"1\" points=\"" + points + "\" z_order=\"0\">\n    </polygon>\n";
}

class CvatWriter : public TrackWriter {
 public:
  CvatWriter(const std::string& path, std::string task_name) : out_(path), task_name_(std::move(task_name)) {}

  void frame(const ExportFrame& f) override {
    frames_ = f.index + 1;
    if (width_ == 0) width_ = f.width, height_ = f.height;
    names_ += "      <frame id=\"" + std::to_string(f.index) + "\" name=\"" + xml_escaped(f.image_path) + "\"/>\n";
    for (const ExportObject& o : f.objects) {
      Track& t = tracks_[o.id];
      t.key = o.key;
      if (o.polygons.empty()) {
        t.text += shape(f.index, true, last_points(t));
        continue;
      }
      const auto largest = std::max_element(o.polygons.begin(), o.polygons.end(), [](const auto& a, const auto& b) {
        return doubled_area(a) < doubled_area(b);
      });
      t.points = cvat_points(*largest);
      t.text += shape(f.index, false, t.points);
      for (auto p = o.polygons.begin(); p != o.polygons.end(); ++p) {
        if (p == largest) continue;
        // A separate piece: a track of one frame, outside from the next.
        const std::string points = cvat_points(*p);
        parts_.push_back({o.key, shape(f.index, false, points) + shape(f.index + 1, true, points)});
      }
    }
    for (const std::string& key : f.absent) {
      auto it = std::find_if(tracks_.begin(), tracks_.end(), [&](const auto& t) { return t.second.key == key; });
      if (it != tracks_.end()) it->second.text += shape(f.index, true, last_points(it->second));
    }
  }

  std::string finish() override {
    out_.write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<annotations>\n  <version>1.1</version>\n  <meta>\n"
               "    <task>\n      <name>" + xml_escaped(task_name_) + "</name>\n      <size>" +
               std::to_string(frames_) + "</size>\n      <mode>interpolation</mode>\n      <overlap>0</overlap>\n"
               "      <start_frame>0</start_frame>\n      <stop_frame>" + std::to_string(frames_ == 0 ? 0 : frames_ - 1) +
               "</stop_frame>\n      <labels>\n        <label>\n          <name>pig</name>\n"
               "          <type>polygon</type>\n          <attributes>\n            <attribute>\n"
               "              <name>part_of</name>\n              <mutable>False</mutable>\n"
               "              <input_type>text</input_type>\n              <default_value></default_value>\n"
               "              <values></values>\n            </attribute>\n          </attributes>\n"
               "        </label>\n      </labels>\n      <original_size>\n        <width>" + std::to_string(width_) +
               "</width>\n        <height>" + std::to_string(height_) + "</height>\n      </original_size>\n"
               "    </task>\n    <pelk_frames>\n");
    out_.write(names_);
    out_.write("    </pelk_frames>\n  </meta>\n");
    std::size_t id = 0;
    for (const auto& [object_id, t] : tracks_) {
      out_.write("  <track id=\"" + std::to_string(id++) + "\" label=\"pig\" source=\"manual\">\n" + t.text +
                 "  </track>\n");
    }
    for (const auto& [key, text] : parts_) {
      out_.write("  <track id=\"" + std::to_string(id++) + "\" label=\"pig\" source=\"manual\">\n" + text +
                 "    <attribute name=\"part_of\">" + xml_escaped(key) + "</attribute>\n  </track>\n");
    }
    out_.write("</annotations>\n");
    out_.commit();
    return "";
  }

 private:
  struct Track {
    std::string key, text, points;
  };
  // CVAT wants points on an outside shape too: the last ones seen.
  static std::string last_points(const Track& t) { return t.points.empty() ? "0,0;0,0;0,0" : t.points; }

  StreamedFile out_;
  std::string task_name_, names_;
  std::size_t frames_ = 0;
  int width_ = 0, height_ = 0;
  std::map<std::int64_t, Track> tracks_;  // by object id: one track per identity, in id order
  std::vector<std::pair<std::string, std::string>> parts_;
};

}  // namespace

std::string xml_escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string cvat_points(const std::vector<double>& polygon) {
  std::string text;
  for (std::size_t i = 0; i + 1 < polygon.size(); i += 2) {
    text += (i == 0 ? "" : ";") + format_number(polygon[i]) + "," + format_number(polygon[i + 1]);
  }
  return text;
}

std::unique_ptr<TrackWriter> cvat_writer(const std::string& path, const std::string& task_name) {
  return std::make_unique<CvatWriter>(path, task_name);
}

}  // namespace pelk
