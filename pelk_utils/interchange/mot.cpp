#include "pelk_utils/interchange/mot.hpp"

#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/streamed_file.hpp"

namespace pelk {
namespace {

class MotWriter : public TrackWriter {
 public:
  explicit MotWriter(const std::string& path) : path_(path), out_(path) {}

  void frame(const ExportFrame& f) override {
    if (clips_.empty() || clips_.back()["clip"] != f.clip) {
      clips_.push_back({{"clip", f.clip}, {"first_frame", f.index + 1}, {"frames", 0}});
    }
    clips_.back()["frames"] = clips_.back()["frames"].get<std::size_t>() + 1;
    for (const ExportObject& o : f.objects) {
      ids_.emplace(o.key, o.id);
      buffer_ += mot_row(f.index + 1, o.id, o.box);
    }
    if (buffer_.size() > (1 << 20)) out_.write(buffer_), buffer_.clear();
  }

  std::string finish() override {
    out_.write(buffer_);
    out_.commit();
    nlohmann::ordered_json ids = nlohmann::ordered_json::object();
    for (const auto& [key, id] : ids_) ids[key] = id;
    const nlohmann::ordered_json mapping = {
        {"format", "MOTChallenge: frame,id,left,top,width,height,conf,-1,-1,-1"},
        {"ids", ids},
        {"ids_rule", "id = the annotation files' object id = box number + 1"},
        {"clips", clips_},
        {"frames_rule", "frame = 1 + position of the frame over all clips in order"},
        {"boxes_rule", "the mask's pixels: left = x_min, top = y_min, width = x_max - x_min + 1"}};
    const std::string mapping_path = path_ + ".json";
    write_file_atomically(mapping_path, mapping.dump(2) + "\n", AtomicWriteOptions{.sync = false});
    return mapping_path;
  }

 private:
  std::string path_;
  StreamedFile out_;
  std::string buffer_;
  std::map<std::string, std::int64_t> ids_;
  nlohmann::ordered_json clips_ = nlohmann::ordered_json::array();
};

}  // namespace

std::string mot_row(std::size_t frame, std::int64_t id, const Box& box) {
  const auto x = static_cast<std::int64_t>(box[0]), y = static_cast<std::int64_t>(box[1]);
  const auto w = static_cast<std::int64_t>(box[2]) - x + 1, h = static_cast<std::int64_t>(box[3]) - y + 1;
  return std::to_string(frame) + ',' + std::to_string(id) + ',' + std::to_string(x) + ',' + std::to_string(y) + ',' +
         std::to_string(w) + ',' + std::to_string(h) + ",1,-1,-1,-1\n";
}

std::unique_ptr<TrackWriter> mot_writer(const std::string& path) { return std::make_unique<MotWriter>(path); }

namespace {

constexpr double kMaxCoordinate = 1e7;

// Splits a row at commas and blanks; empty fields between two commas stay.
std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  const auto blank = [&](std::size_t k) { return line[k] == ' ' || line[k] == '\t' || line[k] == '\r'; };
  while (i < line.size()) {
    while (i < line.size() && blank(i)) ++i;
    if (i == line.size()) break;
    std::size_t end = i;
    while (end < line.size() && line[end] != ',' && !blank(end)) ++end;
    out.push_back(line.substr(i, end - i));
    i = end;
    while (i < line.size() && blank(i)) ++i;
    if (i < line.size() && line[i] == ',') ++i;
  }
  return out;
}

class MotRows {
 public:
  MotRows(std::string path, std::size_t line) : path_(std::move(path)), line_(line) {}

  [[noreturn]] void fail(const std::string& what) const {
    throw std::invalid_argument("'" + path_ + "' line " + std::to_string(line_) + ": " + what);
  }

  double number(std::string_view field, const char* name) const {
    double v = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
    if (ec != std::errc() || end != field.data() + field.size() || !std::isfinite(v)) {
      fail(std::string(name) + " '" + std::string(field) + "' is not a finite number");
    }
    return v;
  }

  std::int64_t whole(std::string_view field, const char* name, double low, double high) const {
    const double v = number(field, name);
    if (v != std::trunc(v)) fail(std::string(name) + " '" + std::string(field) + "' is not a whole number");
    if (v < low || v > high) {
      fail(std::string(name) + " " + std::string(field) + " is outside " + format_bound(low) + ".." + format_bound(high));
    }
    return static_cast<std::int64_t>(v);
  }

  double coordinate(std::string_view field, const char* name, bool size) const {
    const double v = number(field, name);
    if (size && v < 0) fail(std::string(name) + " " + std::string(field) + " is negative");
    if (std::abs(v) > kMaxCoordinate) fail(std::string(name) + " " + std::string(field) + " is beyond 10^7 pixels");
    return v;
  }

 private:
  static std::string format_bound(double v) { return std::to_string(static_cast<std::int64_t>(v)); }
  std::string path_;
  std::size_t line_;
};

}  // namespace

namespace {

// A truth row's class: the benchmark's class column, or 1 (the target
// class) when it holds -1 or 0, as trackers' rows and our export do.
int mot_class(const MotRows& row, std::string_view field) {
  const std::int64_t kind = row.whole(field, "class", -1e9, 1e9);
  return kind <= 0 ? 1 : static_cast<int>(kind);
}

}  // namespace

ImportedTracks read_mot(const std::string& path, TrackSide side) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read '" + path + "'");
  ImportedTracks out;
  out.source = path;
  out.kind = "MOTChallenge text";
  std::map<std::pair<std::int64_t, std::string>, std::size_t> seen;  // (frame, id) -> line
  std::map<std::int64_t, std::vector<std::pair<ContinuousBox, bool>>> all_rows;
  bool any_distractor = false;
  std::int64_t distractors = 0, other_classes = 0;
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::vector<std::string_view> f = fields_of(line);
    if (f.empty()) continue;
    const MotRows row(path, number);
    if (f.size() < 6) {
      row.fail("has " + std::to_string(f.size()) + " fields; a MOT row needs frame, id, left, top, width, height");
    }
    const std::int64_t frame = row.whole(f[0], "frame", 0, static_cast<double>(kMaxImportedFrame));
    const std::int64_t id = row.whole(f[1], "id", -2147483648.0, 2147483647.0);
    const double left = row.coordinate(f[2], "left", false), top = row.coordinate(f[3], "top", false);
    const double width = row.coordinate(f[4], "width", true), height = row.coordinate(f[5], "height", true);
    // The benchmark's class column (truth): 1 the target class, 2, 7, 8
    // and 12 distractors, other classes not targets; -1 or 0 (what trackers
    // and our export write there) no class.
    const ContinuousBox box{left, top, left + width, top + height};
    const int kind = side == TrackSide::kTruth && f.size() >= 8 ? mot_class(row, f[7]) : 1;
    const bool distractor = kind == 2 || kind == 7 || kind == 8 || kind == 12;
    all_rows[frame].emplace_back(box, distractor);
    any_distractor = any_distractor || distractor;
    if (side == TrackSide::kTruth && f.size() >= 7 && row.number(f[6], "conf") == 0) {
      ++out.ignored;
      continue;
    }
    if (kind != 1) {
      ++(distractor ? distractors : other_classes);
      continue;
    }
    std::string key = std::to_string(id);
    const auto [earlier, added] = seen.emplace(std::pair{frame, key}, number);
    if (!added) {
      row.fail("id " + key + " appears twice in frame " + std::to_string(frame) + " (first at line " +
               std::to_string(earlier->second) + ")");
    }
    out.frames[frame].push_back({std::move(key), {}, box});
  }
  if (any_distractor) out.distractor_rows = std::move(all_rows);
  if (distractors > 0) {
    out.notes.push_back(std::to_string(distractors) + " truth row" + (distractors == 1 ? "" : "s") +
                        " of a distractor class (2, 7, 8, 12) not counted, and tracked boxes matched to them dropped "
                        "(the benchmark's preprocessing)");
  }
  if (other_classes > 0) {
    out.notes.push_back(std::to_string(other_classes) + " truth row" + (other_classes == 1 ? "" : "s") +
                        " of another class than 1 not counted");
  }
  if (in.bad()) throw std::runtime_error("cannot read '" + path + "'");
  if (out.ignored > 0) {
    out.notes.push_back(std::to_string(out.ignored) + " truth row" + (out.ignored == 1 ? "" : "s") +
                        " with confidence 0 not counted (the benchmark's ignore flag)");
  }
  return out;
}

}  // namespace pelk
