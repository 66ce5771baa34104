#include "pelk_utils/core/shown_text.hpp"
#include "pelk_utils/interchange/cvat.hpp"

#include <algorithm>
#include <deque>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include <pugixml.hpp>

#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/streamed_file.hpp"

namespace pelk {
namespace {

// One polygon shape; `attribute` names the identity ("identity") or, for a
// separate piece, the identity it belongs to ("part_of").
std::string shape(std::size_t frame, bool outside, const std::string& points, const char* attribute,
                  const std::string& key) {
  return "    <polygon frame=\"" + std::to_string(frame) + "\" outside=\"" + (outside ? "1" : "0") +
         "\" occluded=\"0\" keyframe=\"1\" points=\"" + points + "\" z_order=\"0\">\n      <attribute name=\"" +
         attribute + "\">" + xml_escaped(key) + "</attribute>\n    </polygon>\n";
}

// Text kept in order: the latest part in memory, older parts in a scratch
// file, so that a day of frames keeps memory flat.
class Spool {
 public:
  explicit Spool(std::size_t spill_bytes = std::size_t{1} << 18) : spill_bytes_(spill_bytes) {}
  void add(std::string_view text) {
    text_ += text;
    if (text_.size() < spill_bytes_) return;
    if (!file_) file_.reset(std::tmpfile());
    if (!file_ || std::fwrite(text_.data(), 1, text_.size(), file_.get()) != text_.size()) {
      throw std::runtime_error("cannot write a scratch file for the CVAT tracks");
    }
    text_.clear();
  }
  // Writes everything added to `out`.
  void drain(StreamedFile& out) {
    if (file_) {
      std::rewind(file_.get());
      std::vector<char> buffer(1 << 16);
      for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), file_.get())) > 0;) out.write({buffer.data(), n});
    }
    out.write(text_);
  }

 private:
  std::size_t spill_bytes_;
  std::string text_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
};

class CvatWriter : public TrackWriter {
 public:
  CvatWriter(const std::string& path, std::string task_name, std::size_t spill_bytes)
      : out_(path), task_name_(std::move(task_name)), spill_bytes_(spill_bytes), names_(spill_bytes) {}

  void frame(const ExportFrame& f) override {
    // Frames the files skip: every visible track goes outside at the gap's
    // first frame, so CVAT does not fill the gap in by interpolation.
    if (f.index > frames_) {
      for (auto& [id, t] : tracks_) {
        if (!t.outside) t.shapes.add(shape(frames_, true, last_points(t), "identity", t.key)), t.outside = true;
      }
      for (PieceTrack& p : pieces_) {
        if (p.open) p.shapes.add(piece_shape(frames_, true, p.points, p.key)), p.open = false;
      }
    }
    for (PieceTrack& p : pieces_) p.seen = false;
    frames_ = f.index + 1;
    if (width_ == 0) width_ = f.width, height_ = f.height;
    names_.add("      <frame id=\"" + std::to_string(f.index) + "\" name=\"" + xml_escaped(f.image_path) + "\"/>\n");
    for (const ExportObject& o : f.objects) {
      Track& t = tracks_.try_emplace(o.id, spill_bytes_).first->second;
      t.key = o.key;
      t.outside = o.polygons.empty();
      if (o.polygons.empty()) {
        t.shapes.add(shape(f.index, true, last_points(t), "identity", t.key));
        continue;
      }
      const auto largest = std::max_element(o.polygons.begin(), o.polygons.end(), [](const auto& a, const auto& b) {
        return polygon_area(a) < polygon_area(b);
      });
      t.points = cvat_points(*largest);
      t.shapes.add(shape(f.index, false, t.points, "identity", t.key));
      // Separate pieces, largest first: the k-th piece of a frame goes on the
      // track of the animal's k-th piece in the frame before, one track per
      // run of frames in which the animal is in pieces.
      std::vector<const std::vector<double>*> extras;
      for (auto p = o.polygons.begin(); p != o.polygons.end(); ++p) {
        if (p != largest) extras.push_back(&*p);
      }
      std::stable_sort(extras.begin(), extras.end(),
                       [](const auto* a, const auto* b) { return polygon_area(*a) > polygon_area(*b); });
      for (std::size_t k = 0; k < extras.size(); ++k) piece(o.key, k, f.index, cvat_points(*extras[k]));
    }
    for (PieceTrack& p : pieces_) {
      if (p.open && !p.seen) p.shapes.add(piece_shape(f.index, true, p.points, p.key)), p.open = false;
    }
    for (const std::string& key : f.absent) {
      auto it = std::find_if(tracks_.begin(), tracks_.end(), [&](const auto& t) { return t.second.key == key; });
      if (it != tracks_.end()) {
        it->second.shapes.add(shape(f.index, true, last_points(it->second), "identity", key));
        it->second.outside = true;
      }
    }
  }

  std::string finish() override {
    out_.write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<annotations>\n  <version>1.1</version>\n  <meta>\n"
               "    <task>\n      <name>" + xml_escaped(task_name_) + "</name>\n      <size>" +
               std::to_string(frames_) + "</size>\n      <mode>interpolation</mode>\n      <overlap>0</overlap>\n"
               "      <start_frame>0</start_frame>\n      <stop_frame>" + std::to_string(frames_ == 0 ? 0 : frames_ - 1) +
               "</stop_frame>\n      <labels>\n        <label>\n          <name>pig</name>\n"
               "          <type>polygon</type>\n          <attributes>\n            <attribute>\n"
               "              <name>identity</name>\n              <mutable>False</mutable>\n"
               "              <input_type>text</input_type>\n              <default_value></default_value>\n"
               "              <values></values>\n            </attribute>\n            <attribute>\n"
               "              <name>part_of</name>\n              <mutable>False</mutable>\n"
               "              <input_type>text</input_type>\n              <default_value></default_value>\n"
               "              <values></values>\n            </attribute>\n          </attributes>\n"
               "        </label>\n      </labels>\n      <original_size>\n        <width>" + std::to_string(width_) +
               "</width>\n        <height>" + std::to_string(height_) + "</height>\n      </original_size>\n"
               "    </task>\n    <pelk_frames>\n");
    names_.drain(out_);
    out_.write("    </pelk_frames>\n  </meta>\n");
    std::size_t id = 0;
    for (auto& [object_id, t] : tracks_) {
      out_.write("  <track id=\"" + std::to_string(id++) + "\" label=\"pig\" source=\"manual\">\n");
      t.shapes.drain(out_);
      out_.write("  </track>\n");
    }
    for (PieceTrack& p : pieces_) {
      out_.write("  <track id=\"" + std::to_string(id++) + "\" label=\"pig\" source=\"manual\">\n");
      p.shapes.drain(out_);
      out_.write("  </track>\n");
    }
    out_.write("</annotations>\n");
    out_.commit();
    return "";
  }

 private:
  struct Track {
    explicit Track(std::size_t spill_bytes) : shapes(spill_bytes) {}
    std::string key, points;
    Spool shapes;
    bool outside = false;  // its last shape is outside
  };
  // A track of one separate piece of an animal, over a run of frames.
  struct PieceTrack {
    explicit PieceTrack(std::size_t spill_bytes) : shapes(spill_bytes) {}
    std::string key, points;
    std::size_t slot = 0, last_frame = 0;
    Spool shapes;
    bool open = true, seen = true;
  };

  // A piece's shape: it is part of the animal, and names it as its identity.
  static std::string piece_shape(std::size_t frame, bool outside, const std::string& points, const std::string& key) {
    std::string text = shape(frame, outside, points, "part_of", key);
    const std::string end = "    </polygon>\n";
    return text.insert(text.size() - end.size(), "      <attribute name=\"identity\">" + xml_escaped(key) + "</attribute>\n");
  }

  void piece(const std::string& key, std::size_t slot, std::size_t frame, std::string points) {
    auto it = std::find_if(pieces_.begin(), pieces_.end(), [&](const PieceTrack& p) {
      return p.open && p.key == key && p.slot == slot && p.last_frame + 1 == frame;
    });
    if (it == pieces_.end()) {
      it = pieces_.emplace(pieces_.end(), spill_bytes_);
      it->key = key, it->slot = slot;
    }
    it->points = std::move(points);
    it->last_frame = frame;
    it->seen = true;
    it->shapes.add(piece_shape(frame, false, it->points, key));
  }

  // CVAT wants points on an outside shape too: the last ones seen.
  static std::string last_points(const Track& t) { return t.points.empty() ? "0,0;0,0;0,0" : t.points; }

  StreamedFile out_;
  std::string task_name_;
  std::size_t spill_bytes_;
  Spool names_;
  std::size_t frames_ = 0;
  int width_ = 0, height_ = 0;
  std::map<std::int64_t, Track> tracks_;  // by object id: one track per identity, in id order
  std::deque<PieceTrack> pieces_;  // in order of their first frame
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

std::unique_ptr<TrackWriter> cvat_writer(const std::string& path, const std::string& task_name,
                                         std::size_t spill_bytes) {
  return std::make_unique<CvatWriter>(path, task_name, spill_bytes);
}

namespace {

constexpr double kMaxCoordinate = 1e7;
constexpr std::int64_t kMaxFilledShapes = 20'000'000;  // shapes interpolation and continuation may add
constexpr std::uintmax_t kMaxXmlBytes = std::uintmax_t{2} << 30;

// The file's text, whole (pugixml parses in place); refused beyond 2 GiB.
std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot read '" + path + "'");
  const std::streamoff size = in.tellg();
  if (size < 0) throw std::runtime_error("cannot read '" + path + "'");
  if (static_cast<std::uintmax_t>(size) > kMaxXmlBytes) {
    throw std::invalid_argument("'" + path + "' is " + std::to_string(size >> 20) + " MiB; CVAT files above 2 GiB are refused");
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  in.seekg(0);
  in.read(text.data(), size);
  if (!in) throw std::runtime_error("cannot read '" + path + "'");
  return text;
}

class CvatReader {
 public:
  CvatReader(std::string path, std::string text) : path_(std::move(path)), text_(std::move(text)) {}

  ImportedTracks read() {
    // CVAT writes UTF-8; a file saved as UTF-16 would read as noise.
    const bool wide = text_.size() >= 2 && ((text_[0] == '\xFF' && text_[1] == '\xFE') ||
                                            (text_[0] == '\xFE' && text_[1] == '\xFF') || text_[0] == '\0' || text_[1] == '\0');
    if (wide) fail("is UTF-16 (or UTF-32) text; CVAT files are UTF-8: save it as UTF-8 and try again");
    // No parse_doctype: a document type is found below and refused; entity
    // references other than XML's five are never expanded.
    const pugi::xml_parse_result parsed =
        doc_.load_buffer(text_.data(), text_.size(), pugi::parse_default | pugi::parse_doctype, pugi::encoding_utf8);
    if (!parsed) fail_at(static_cast<std::size_t>(parsed.offset), std::string("not well-formed XML: ") + parsed.description());
    for (const pugi::xml_node node : doc_.children()) {
      if (node.type() == pugi::node_doctype) {
        fail_at(node, "declares a document type (<!DOCTYPE>); CVAT files have none, and its entities would not be expanded");
      }
    }
    const pugi::xml_node root = doc_.child("annotations");
    if (!root) fail("has no <annotations> root: not a CVAT XML file");
    out_.source = path_;
    out_.kind = "CVAT XML";
    read_size(root);
    read_stop_frame(root);
    std::size_t tracks = 0;
    for (const pugi::xml_node track : root.children("track")) read_track(track), ++tracks;
    fill_tracks();
    if (tracks == 0 && root.child("image")) {
      fail("holds images, not tracks: it is CVAT for images; export the task as \"CVAT for video 1.1\"");
    }
    for (const auto& [kind, count] : skipped_) {
      out_.notes.push_back("skipped " + std::to_string(count) + " <" + kind + "> shape" + (count == 1 ? "" : "s") +
                           " (only polygons and boxes are read)");
    }
    merge_parts();
    for (std::string& note : out_.notes) note = shown_text(note, 400);
    return std::move(out_);
  }

 private:
  // (`what` is cut too: whatever a message quotes, it stays one readable line)
  [[noreturn]] void fail(const std::string& what) const {
    throw std::invalid_argument("'" + path_ + "' " + shown_text(what, 400));
  }
  [[noreturn]] void fail_at(std::size_t offset, const std::string& what) const {
    const std::size_t end = std::min(offset, text_.size());
    const auto line = 1 + std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(end), '\n');
    throw std::invalid_argument("'" + path_ + "' line " + std::to_string(line) + ": " + shown_text(what, 400));
  }
  [[noreturn]] void fail_at(const pugi::xml_node& node, const std::string& what) const {
    fail_at(static_cast<std::size_t>(std::max<std::ptrdiff_t>(node.offset_debug(), 0)), what);
  }

  double number(const pugi::xml_node& node, const char* name, double limit = kMaxCoordinate) const {
    const pugi::xml_attribute a = node.attribute(name);
    if (!a) fail_at(node, "<" + std::string(node.name()) + "> has no " + name);
    return parse(node, a.value(), name, limit);
  }

  // A finite number within +-limit (beyond it, a number that declares
  // gigabytes of raster or frames).
  double parse(const pugi::xml_node& node, std::string_view text, const std::string& name,
               double limit = kMaxCoordinate) const {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) {
      fail_at(node, name + " '" + shown_text(text) + "' is not a finite number");
    }
    if (std::abs(v) > limit) fail_at(node, name + " " + shown_text(text) + " is beyond 10^7 pixels");
    return v;
  }

  void read_size(const pugi::xml_node& root) {
    const pugi::xml_node size = root.child("meta").find_node([](const pugi::xml_node& n) {
      return std::string_view(n.name()) == "original_size";
    });
    if (!size) return;
    const auto side = [&](const char* name) {
      const pugi::xml_node n = size.child(name);
      const double v = parse(n ? n : size, n.text().get(), name);
      if (v != std::trunc(v) || v < 1 || v > kMaxImportedFrameSide) {
        fail_at(n ? n : size, std::string("original_size ") + name + " " + shown_text(n.text().get()) + " is not a whole number from 1 to " +
                                  std::to_string(kMaxImportedFrameSide));
      }
      return static_cast<int>(v);
    };
    const int width = side("width");
    out_.frame_size = cv::Size(width, side("height"));
  }

  // The task's last frame (meta's stop_frame), when the file says.
  void read_stop_frame(const pugi::xml_node& root) {
    const pugi::xml_node stop = root.child("meta").find_node([](const pugi::xml_node& n) {
      return std::string_view(n.name()) == "stop_frame";
    });
    if (!stop) return;
    const double v = parse(stop, stop.text().get(), "stop_frame", static_cast<double>(kMaxImportedFrame));
    if (v != std::trunc(v) || v < 0) fail_at(stop, "stop_frame " + shown_text(stop.text().get()) + " is not a whole number");
    stop_frame_ = static_cast<std::int64_t>(v);
  }

  static std::string attribute_of(const pugi::xml_node& shape, const char* name) {
    for (const pugi::xml_node a : shape.children("attribute")) {
      if (std::string_view(a.attribute("name").value()) == name) return a.text().get();
    }
    return "";
  }

  std::vector<double> points(const pugi::xml_node& shape) const {
    std::vector<double> out;
    const std::string_view text = shape.attribute("points").value();
    std::size_t i = 0;
    while (i <= text.size()) {
      std::size_t end = text.find_first_of(",;", i);
      if (end == std::string_view::npos) end = text.size();
      out.push_back(parse(shape, text.substr(i, end - i), "point coordinate"));
      i = end + 1;
    }
    // One or two points are kept: annotation files hold such thin outlines too.
    if (out.size() % 2 != 0) fail_at(shape, "points has an odd number of coordinates");
    return out;
  }

  // One shape of a track as the file has it (a keyframe, or a frame CVAT
  // wrote out).
  struct Keyframe {
    std::int64_t frame = 0;
    bool outside = false, box = false;
    std::string part_of;
    ImportedObject object;
    pugi::xml_node node;
  };

  void read_track(const pugi::xml_node& track) {
    const std::string id = track.attribute("id").value();
    std::vector<Keyframe> keys;
    std::set<std::int64_t> frames;
    for (const pugi::xml_node shape : track.children()) {
      if (shape.type() != pugi::node_element) continue;
      const std::string kind = shape.name();
      if (kind == "attribute") continue;
      if (kind != "polygon" && kind != "box") {
        ++skipped_[kind];
        continue;
      }
      const double frame_number = number(shape, "frame", std::numeric_limits<double>::max());
      if (frame_number != std::trunc(frame_number) || frame_number < 0 ||
          frame_number > static_cast<double>(kMaxImportedFrame)) {
        fail_at(shape, "frame " + shown_text(shape.attribute("frame").value()) + " is not a whole number from 0 to " +
                           std::to_string(kMaxImportedFrame));
      }
      Keyframe k;
      k.frame = static_cast<std::int64_t>(frame_number);
      k.node = shape;
      if (!frames.insert(k.frame).second) fail_at(shape, "track " + id + " has two shapes on frame " + std::to_string(k.frame));
      last_frame_ = std::max(last_frame_, k.frame);
      k.outside = std::string_view(shape.attribute("outside").value()) == "1";
      k.box = kind == "box";
      if (!k.outside) {
        const std::string identity = attribute_of(shape, "identity");
        k.part_of = attribute_of(shape, "part_of");
        k.object.key = !identity.empty() ? identity : "track " + id;
        if (k.box) {
          k.object.box = {number(shape, "xtl"), number(shape, "ytl"), number(shape, "xbr"), number(shape, "ybr")};
          if (k.object.box[2] < k.object.box[0] || k.object.box[3] < k.object.box[1]) {
            fail_at(shape, "the box has a negative width or height");
          }
        } else {
          k.object.polygons.push_back(points(shape));
          k.object.box = extent(k.object.polygons.back());
        }
      }
      keys.push_back(std::move(k));
    }
    std::sort(keys.begin(), keys.end(), [](const Keyframe& a, const Keyframe& b) { return a.frame < b.frame; });
    tracks_.push_back({id, std::move(keys)});
  }

  void add(std::int64_t frame, const Keyframe& k, ImportedObject o) {
    if (!k.part_of.empty()) {
      parts_.push_back({frame, k.part_of, std::move(o)});
    } else {
      out_.frames[frame].push_back(std::move(o));
    }
  }

  // The shapes as CVAT shows them: between a visible shape and the track's
  // next one, boxes move linearly (CVAT's interpolation); after its last
  // shape a visible track stays to the task's last frame. CVAT moves
  // polygons by a rule of its own, not reproduced here: frames between two
  // polygon keyframes are refused.
  void fill_tracks() {
    std::int64_t filled = 0, kept = 0;
    const std::int64_t last = stop_frame_.value_or(last_frame_);
    const auto budget = [&](std::int64_t more, const pugi::xml_node& node) {
      if (filled + kept + more > kMaxFilledShapes) {
        fail_at(node, "its keyframes would fill more than " + std::to_string(kMaxFilledShapes) +
                          " shapes between and after them");
      }
    };
    for (const auto& [id, keys] : tracks_) {
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const Keyframe& k = keys[i];
        if (k.outside) continue;
        add(k.frame, k, k.object);
        const std::int64_t next = i + 1 < keys.size() ? keys[i + 1].frame : last + 1;
        if (next <= k.frame + 1) continue;
        if (i + 1 == keys.size()) {
          budget(next - k.frame - 1, k.node);
          for (std::int64_t f = k.frame + 1; f < next; ++f) add(f, k, k.object), ++kept;
          continue;
        }
        const Keyframe& n = keys[i + 1];
        if (!k.box || !(n.box || n.outside)) {
          fail_at(k.node, "track " + id + " has no shapes on frames " + std::to_string(k.frame + 1) + " to " +
                              std::to_string(n.frame - 1) + " between its polygon keyframes " + std::to_string(k.frame) +
                              " and " + std::to_string(n.frame) +
                              ": CVAT fills them by its own polygon interpolation, which is not reproduced here; "
                              "export the task from CVAT again (it writes every frame's shape)");
        }
        budget(n.frame - k.frame - 1, k.node);
        // Toward an outside shape CVAT moves the box to the outside shape's points.
        const ContinuousBox to = n.outside ? box_of(n.node, k.object.box) : n.object.box;
        for (std::int64_t f = k.frame + 1; f < n.frame; ++f) {
          const double t = static_cast<double>(f - k.frame) / static_cast<double>(n.frame - k.frame);
          ImportedObject o = k.object;
          for (int c = 0; c < 4; ++c) o.box[c] = k.object.box[c] + (to[c] - k.object.box[c]) * t;
          add(f, k, std::move(o));
          ++filled;
        }
      }
    }
    if (filled > 0) {
      out_.notes.push_back("filled " + std::to_string(filled) + " box" + (filled == 1 ? "" : "es") +
                           " between keyframes by linear interpolation, as CVAT shows them");
    }
    if (kept > 0) {
      out_.notes.push_back("kept " + std::to_string(kept) + " shape" + (kept == 1 ? "" : "s") +
                           " after tracks' last keyframes to the task's last frame " + std::to_string(last) +
                           " (a track not marked outside goes on in CVAT)");
    }
  }

  // The box of an outside shape, when it has one (CVAT writes the last
  // points on it), else `fallback`.
  ContinuousBox box_of(const pugi::xml_node& shape, const ContinuousBox& fallback) const {
    if (std::string_view(shape.name()) != "box" || !shape.attribute("xtl")) return fallback;
    return {number(shape, "xtl"), number(shape, "ytl"), number(shape, "xbr"), number(shape, "ybr")};
  }

  static ContinuousBox extent(const std::vector<double>& p) {
    ContinuousBox b{p[0], p[1], p[0], p[1]};
    for (std::size_t i = 0; i + 1 < p.size(); i += 2) {
      b[0] = std::min(b[0], p[i]), b[2] = std::max(b[2], p[i]);
      b[1] = std::min(b[1], p[i + 1]), b[3] = std::max(b[3], p[i + 1]);
    }
    return b;
  }

  // Separate pieces join the polygons of the identity they name, or stand
  // as that identity when it has no shape of its own in the frame.
  void merge_parts() {
    for (auto& [frame, key, piece] : parts_) {
      std::vector<ImportedObject>& objects = out_.frames[frame];
      const auto owner = std::find_if(objects.begin(), objects.end(), [&](const ImportedObject& o) { return o.key == key; });
      if (owner == objects.end() || piece.polygons.empty() || owner->polygons.empty()) {
        piece.key = key;
        if (owner == objects.end()) objects.push_back(std::move(piece));
        continue;
      }
      owner->polygons.push_back(std::move(piece.polygons.front()));
      const ContinuousBox b = extent(owner->polygons.back());
      owner->box = {std::min(owner->box[0], b[0]), std::min(owner->box[1], b[1]), std::max(owner->box[2], b[2]),
                    std::max(owner->box[3], b[3])};
    }
  }

  struct Part {
    std::int64_t frame;
    std::string key;
    ImportedObject piece;
  };

  std::string path_, text_;
  pugi::xml_document doc_;
  ImportedTracks out_;
  std::map<std::string, std::size_t> skipped_;
  std::vector<Part> parts_;
  std::vector<std::pair<std::string, std::vector<Keyframe>>> tracks_;
  std::optional<std::int64_t> stop_frame_;
  std::int64_t last_frame_ = 0;  // the last frame any shape is on
};

}  // namespace

ImportedTracks read_cvat(const std::string& path) {
  CvatReader reader(path, read_whole(path));
  return reader.read();
}

}  // namespace pelk
