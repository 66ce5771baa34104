#include "pelk_utils/behaviour/behaviour.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "pelk_utils/behaviour/observation.hpp"
#include "pelk_utils/core/contact.hpp"
#include "pelk_utils/core/csv.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "pelk_utils/tracks/frame_time.hpp"
#include "pelk_utils/tracks/tracks_table.hpp"

namespace pelk {
namespace {

// Area values and how often each occurs: an exact median in little memory.
using AreaCounts = std::map<std::int64_t, std::int64_t>;

double median_of(const AreaCounts& counts) {
  std::int64_t total = 0;
  for (const auto& [area, n] : counts) total += n;
  if (total == 0) return std::nan("");
  std::int64_t seen = 0;
  const std::int64_t low = (total - 1) / 2, high = total / 2;
  std::optional<double> low_value;
  for (const auto& [area, n] : counts) {
    if (!low_value && seen + n > low) low_value = static_cast<double>(area);
    if (seen + n > high) return (*low_value + static_cast<double>(area)) / 2;
    seen += n;
  }
  return *low_value;
}

struct AnimalBin {
  double distance = 0, visible = 0, missing = 0, active = 0, still = 0;
  AreaCounts areas;
  std::vector<double> zones;
};

struct ContactBin {
  std::int64_t bouts = 0;
  double time = 0;
  double run = 0, longest = 0;         // the running and the longest stretch of contact inside the bin
  std::optional<double> last_contact;  // clock of the bin's last frame in contact
};

struct AnimalState {
  std::vector<cv::Point2f> path;              // the points the filtered path moved to
  std::optional<cv::Point2d> anchor;          // the jitter-filtered path's point
  std::optional<double> last_seen;            // clock of the last frame with a mask
  std::deque<std::pair<double, cv::Point2d>> recent;  // (clock, centroid) within the speed window
  // Frames waiting for their window to be whole: (clock, bin, active threshold, step).
  struct Pending {
    double clock;
    std::int64_t bin;
    double threshold, step;
  };
  std::deque<Pending> pending;
  // The activity call: the settled state, and frames judged against it
  // waiting to last a bout (bin, step).
  std::optional<bool> settled;
  std::vector<std::pair<std::int64_t, double>> held;
  double held_time = 0;
};

struct PairState {
  std::optional<double> last_contact;  // clock of the pair's last frame in contact
  double bout = 0;                     // length of the running bout
  double longest = 0, total = 0;
  std::int64_t bouts = 0;
};

using Pair = std::pair<std::string, std::string>;

// The clock of a frame (seconds or frames) and its bin.
struct FrameClock {
  double clock = 0;     // seconds (camera clock) or the frame's ordinal
  double step = 1;      // one frame's length in the time unit
  std::int64_t bin = 0;
};

class Accumulator {
 public:
  explicit Accumulator(const BehaviourOptions& o) : o_(o) {}

  void frame(const FrameObservation& f, const KeyTable& keys, const FrameClock& c) {
    if (frames_ == 0) frame_size_ = f.size;
    ++frames_;
    const double gap_limit = (o_.max_gap_frames + 1.5) * c.step;
    for (const AnimalObservation& a : f.animals) {
      const std::string& key = keys.name(a.key);
      if (std::find(animals_.begin(), animals_.end(), key) == animals_.end()) animals_.push_back(key);
      AnimalBin& bin = bins_[{c.bin, key}];
      if (bin.zones.empty()) bin.zones.assign(o_.zones.size(), 0.0);
      if (!a.present) {
        bin.missing += c.step;
        continue;
      }
      bin.visible += c.step;
      ++bin.areas[a.area];
      const cv::Point2d centroid(a.centroid_x, a.centroid_y);
      for (std::size_t z = 0; z < o_.zones.size(); ++z) {
        if (in_zone(o_.zones[z], centroid)) bin.zones[z] += c.step;
      }
      AnimalState& s = state_[key];
      // A gap longer than the limit starts the path and the speed afresh.
      if (s.last_seen && c.clock - *s.last_seen > gap_limit) {
        s.anchor.reset();
        s.path.emplace_back(std::nanf(""), std::nanf(""));
        s.recent.clear();
        s.pending.clear();
        end_activity(key, s);
        ++unbridged_;
      }
      s.last_seen = c.clock;
      if (!s.anchor) {
        s.anchor = centroid;
        s.path.emplace_back(centroid);
      } else if (std::hypot(centroid.x - s.anchor->x, centroid.y - s.anchor->y) > o_.jitter_px) {
        bin.distance += std::hypot(centroid.x - s.anchor->x, centroid.y - s.anchor->y);
        s.anchor = centroid;
        s.path.emplace_back(centroid);
      }
      s.recent.emplace_back(c.clock, centroid);
      s.pending.push_back({c.clock, c.bin, o_.active_body_lengths * a.long_axis / per_second_, c.step});
      judge_activity(key, s);
    }
    for (const auto& [i, j] : f.contacts) contact(keys.name(f.animals[i].key), keys.name(f.animals[j].key), c);
  }

  BehaviourResult result(const std::string& unit, const std::function<std::string(std::int64_t)>& label,
                         std::vector<std::string> notes, const std::string& first_image) {
    BehaviourResult r;
    r.time_unit = unit;
    r.frames = frames_;
    r.notes = std::move(notes);
    r.first_image = first_image;
    r.frame_size = frame_size_;
    r.px_per_metre = o_.px_per_metre;
    for (const Zone& z : o_.zones) r.zone_names.push_back(z.name);
    for (auto& [key, s] : state_) end_activity(key, s);
    const std::string speed_unit = "px/" + std::string(unit == "s" ? "s" : "frame");
    const std::string metre_speed_unit = "m/" + std::string(unit == "s" ? "s" : "frame");
    std::map<std::string, AnimalBin> whole;
    for (const auto& [at, b] : bins_) {
      const auto& [bin, animal] = at;
      const std::string start = label(bin), end = label(bin + 1);
      const auto add = [&](const std::string& measure, double value, const std::string& u) {
        r.values.push_back({start, end, animal, measure, value, u});
      };
      add("distance", b.distance, "px");
      if (o_.px_per_metre) add("distance_m", b.distance / *o_.px_per_metre, "m");
      add("mean_speed", b.visible > 0 ? b.distance / b.visible : std::nan(""), speed_unit);
      if (o_.px_per_metre) {
        add("mean_speed_m", b.visible > 0 ? b.distance / b.visible / *o_.px_per_metre : std::nan(""), metre_speed_unit);
      }
      add("active", b.active, unit);
      add("still", b.still, unit);
      add("visible", b.visible, unit);
      add("missing", b.missing, unit);
      add("median_area", median_of(b.areas), "px2");
      if (o_.px_per_metre) add("median_area_m2", median_of(b.areas) / (*o_.px_per_metre * *o_.px_per_metre), "m2");
      for (std::size_t z = 0; z < o_.zones.size(); ++z) add("zone:" + o_.zones[z].name, b.zones[z], unit);
      AnimalBin& w = whole[animal];
      if (w.zones.empty()) w.zones.assign(o_.zones.size(), 0.0);
      w.distance += b.distance, w.visible += b.visible, w.missing += b.missing, w.active += b.active, w.still += b.still;
      for (const auto& [area, n] : b.areas) w.areas[area] += n;
      for (std::size_t z = 0; z < o_.zones.size(); ++z) w.zones[z] += b.zones[z];
    }
    for (const auto& [at, c] : contact_bins_) {
      r.contacts.push_back({label(at.first), label(at.first + 1), at.second.first, at.second.second, c.bouts, c.time,
                            c.longest});
    }
    // The whole input: bin "all", with each pair's longest bout.
    for (const auto& [pair, p] : pairs_) {
      r.contacts.push_back({"all", "all", pair.first, pair.second, p.bouts, p.total, std::max(p.longest, p.bout)});
    }
    for (const std::string& animal : animals_) {
      const AnimalBin& w = whole[animal];
      AnimalSummary s;
      s.animal = animal;
      s.visible = w.visible, s.missing = w.missing, s.distance_px = w.distance, s.active = w.active, s.still = w.still;
      s.mean_speed_px = w.visible > 0 ? w.distance / w.visible : std::nan("");
      s.median_area_px = median_of(w.areas);
      if (o_.px_per_metre) {
        const double scale = *o_.px_per_metre;
        s.distance_m = s.distance_px / scale, s.mean_speed_m = s.mean_speed_px / scale;
        s.median_area_m2 = s.median_area_px / (scale * scale);
      }
      s.zone_time = w.zones.empty() ? std::vector<double>(o_.zones.size(), 0.0) : w.zones;
      for (const auto& [pair, p] : pairs_) {
        if (pair.first == animal || pair.second == animal) s.contact_bouts += p.bouts, s.contact_time += p.total;
      }
      r.summary.push_back(std::move(s));
      r.paths.push_back(std::move(state_[animal].path));
    }
    if (unbridged_ > 0) {
      r.notes.push_back(std::to_string(unbridged_) + " track gap" + (unbridged_ == 1 ? "" : "s") + " longer than " +
                        std::to_string(o_.max_gap_frames) + " frames not bridged (no distance across them)");
    }
    return r;
  }

  void set_per_second(double per_second) { per_second_ = per_second; }

  // Parts the input at a clip boundary that is not continuous: every path,
  // speed window and contact bout ends here, as if the animals left view,
  // but the time between is neither visible nor missing.
  void part() {
    for (auto& [key, s] : state_) {
      if (s.anchor) s.path.emplace_back(std::nanf(""), std::nanf(""));
      s.anchor.reset();
      s.last_seen.reset();
      s.recent.clear();
      s.pending.clear();
      end_activity(key, s);
    }
    for (auto& [pair, p] : pairs_) p.last_contact.reset();
    for (auto& [at, bin] : contact_bins_) bin.last_contact.reset();
  }

 private:
  // Active or still: the speed over a window of `speed_window_s` centred on
  // the frame (the centroid's displacement from the window's first frame to
  // its last), so a start or a stop is dated where it happens. Frames
  // without a whole window (half a window at a track's ends and around a
  // gap) are neither: a short window would turn mask noise into speed.
  void judge_activity(const std::string& key, AnimalState& s) {
    const double window = o_.speed_window_s * per_second_;
    const double now = s.recent.back().first;
    while (now - s.recent.front().first > window + 1e-9) s.recent.pop_front();
    const auto& [then, where] = s.recent.front();
    const cv::Point2d& here = s.recent.back().second;
    while (!s.pending.empty() && s.pending.front().clock <= now - window / 2 + 1e-9) {
      const AnimalState::Pending p = s.pending.front();
      s.pending.pop_front();
      if (p.clock - then < window / 2 - 0.5 * p.step || now - then < window - 0.5 * p.step) continue;
      const double speed = std::hypot(here.x - where.x, here.y - where.y) / (now - then);
      call_activity(key, s, p.threshold > 0 ? speed / p.threshold : (speed > 0 ? INFINITY : 0), p.bin, p.step);
    }
  }

  void count_activity(const std::string& key, bool active, std::int64_t bin, double step) {
    AnimalBin& b = bins_[{bin, key}];
    (active ? b.active : b.still) += step;
  }

  // Takes a frame's call (its speed over the threshold, `ratio`) through the
  // shortest-bout rule.
  void call_activity(const std::string& key, AnimalState& s, double ratio, std::int64_t bin, double step) {
    const bool active = ratio > 1;
    if (!s.settled) s.settled = active;
    if (active == *s.settled) {
      for (const auto& [b, st] : s.held) count_activity(key, *s.settled, b, st);  // a flicker: absorbed
      s.held.clear();
      s.held_time = 0;
      count_activity(key, active, bin, step);
      return;
    }
    s.held.emplace_back(bin, step);
    s.held_time += step;
    // A clear call (well beyond the threshold) is taken at once; a marginal
    // one only when it lasts a bout.
    const bool clear = active ? ratio > 1 + o_.activity_band : ratio < 1 - o_.activity_band;
    if (clear || s.held_time >= o_.min_activity_bout_s * per_second_ - 0.5 * step) {
      s.settled = active;  // a bout: the new state from its first frame
      for (const auto& [b, st] : s.held) count_activity(key, active, b, st);
      s.held.clear();
      s.held_time = 0;
    }
  }

  // The track ends (a gap, a clip boundary not joined, the input's end): a
  // run still held keeps its own call.
  void end_activity(const std::string& key, AnimalState& s) {
    if (s.settled) {
      for (const auto& [b, st] : s.held) count_activity(key, !*s.settled, b, st);
    }
    s.held.clear();
    s.held_time = 0;
    s.settled.reset();
  }

  void contact(const std::string& a, const std::string& b, const FrameClock& c) {
    const Pair pair = std::minmax(a, b);
    PairState& p = pairs_[pair];
    ContactBin& bin = contact_bins_[{c.bin, pair}];
    // A bout goes on from the previous frame; any frame between ends it.
    if (!p.last_contact || c.clock - *p.last_contact > 1.5 * c.step) {
      p.longest = std::max(p.longest, p.bout);
      p.bout = 0;
      ++p.bouts;
      ++bin.bouts;
    }
    p.bout += c.step;
    p.total += c.step;
    bin.time += c.step;
    p.last_contact = c.clock;
    // Within the bin: a bout that began in an earlier bin counts from the bin's start.
    bin.run = bin.last_contact && c.clock - *bin.last_contact <= 1.5 * c.step ? bin.run + c.step : c.step;
    bin.longest = std::max(bin.longest, bin.run);
    bin.last_contact = c.clock;
  }

  const BehaviourOptions& o_;
  double per_second_ = 1;  // clock units per second (1 with seconds; frames per second otherwise)
  std::int64_t frames_ = 0, unbridged_ = 0;
  cv::Size frame_size_;
  std::vector<std::string> animals_;
  std::map<std::pair<std::int64_t, std::string>, AnimalBin> bins_;
  std::map<std::string, AnimalState> state_;
  std::map<Pair, PairState> pairs_;
  std::map<std::pair<std::int64_t, Pair>, ContactBin> contact_bins_;
};

// Zones are drawn on the frames: a point outside them is a mistake.
void check_zones_inside(const std::vector<Zone>& zones, cv::Size frame) {
  for (const Zone& z : zones) {
    for (const cv::Point2f& p : z.polygon) {
      if (p.x < 0 || p.y < 0 || p.x > static_cast<float>(frame.width) || p.y > static_cast<float>(frame.height)) {
        throw std::invalid_argument("zone '" + z.name + "' leaves the " + std::to_string(frame.width) + " x " +
                                    std::to_string(frame.height) + " frame of the clips at (" + format_number(p.x) +
                                    ", " + format_number(p.y) + ")");
      }
    }
  }
}

// Sums of frame lengths (0.04 s x 101) carry binary noise in the last
// digits: values are written to nine decimals.
std::string text_of(double v) { return std::isnan(v) ? std::string() : format_number(std::round(v * 1e9) / 1e9); }

}  // namespace

double parse_bin_length(const std::string& text) {
  const auto fail = [&] {
    throw std::invalid_argument("'" + text + "' is not a length above 0 such as 10m, 30s, 1h or 500f (frames)");
  };
  if (text.size() < 2) fail();
  const char unit = text.back();
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text.substr(0, text.size() - 1), &used);
  } catch (const std::exception&) {
    fail();
  }
  if (used != text.size() - 1 || !std::isfinite(value) || value <= 0) fail();
  switch (unit) {
    case 's': return value;
    case 'm': return value * 60;
    case 'h': return value * 3600;
    case 'f':
      if (value != std::floor(value)) fail();
      return -value;
    default: fail();
  }
  return 0;
}

std::pair<double, double> parse_pen_size(const std::string& text) {
  const auto fail = [&] {
    throw std::invalid_argument("--pen-size: '" + text + "' is not a size in metres such as 4x2.5 (width x length)");
  };
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos) fail();
  std::pair<double, double> size;
  for (auto [part, value] : {std::pair{text.substr(0, x), &size.first}, std::pair{text.substr(x + 1), &size.second}}) {
    std::size_t used = 0;
    try {
      *value = std::stod(part, &used);
    } catch (const std::exception&) {
      fail();
    }
    if (used != part.size() || !std::isfinite(*value) || *value <= 0) fail();
  }
  return size;
}

double px_per_metre_of_pen(const std::string& pen_json, std::pair<double, double> size) {
  const PenPolygon pen = draw_pen("", pen_json).polygon_points;
  check_pen_area(pen, pen_json);
  double twice_area = 0;  // the shoelace formula
  for (std::size_t i = 0; i < pen.size(); ++i) {
    const PenPoint& a = pen[i];
    const PenPoint& b = pen[(i + 1) % pen.size()];
    twice_area += a.x.as_double() * b.y.as_double() - b.x.as_double() * a.y.as_double();
  }
  return std::sqrt(std::abs(twice_area) / 2 / (size.first * size.second));
}

void check_behaviour_options(const BehaviourOptions& o) {
  const auto refuse = [](const std::string& name, const std::string& rule, double value) {
    throw std::invalid_argument("behaviour setting " + name + " must be " + rule + ", got " + format_number(value));
  };
  if (!(std::isfinite(o.bin_seconds) && o.bin_seconds > 0)) refuse("bin", "a positive length", o.bin_seconds);
  if (o.bin_frames < 1) refuse("bin", "1 frame or more", static_cast<double>(o.bin_frames));
  if (!(std::isfinite(o.jitter_px) && o.jitter_px >= 0)) refuse("jitter_px", "0 or more", o.jitter_px);
  if (!(std::isfinite(o.active_body_lengths) && o.active_body_lengths >= 0)) {
    refuse("active_body_lengths", "0 or more", o.active_body_lengths);
  }
  if (!(std::isfinite(o.activity_band) && o.activity_band >= 0)) refuse("activity_band", "0 or more", o.activity_band);
  if (!(std::isfinite(o.min_activity_bout_s) && o.min_activity_bout_s >= 0)) {
    refuse("min_activity_bout_s", "0 or more", o.min_activity_bout_s);
  }
  if (!(std::isfinite(o.speed_window_s) && o.speed_window_s > 0)) refuse("speed_window_s", "positive", o.speed_window_s);
  if (o.max_gap_frames < 0) refuse("max_gap_frames", "0 or more", o.max_gap_frames);
  if (o.contact_px < 0) refuse("contact_px", "0 or more", o.contact_px);
  if (o.px_per_metre && !(std::isfinite(*o.px_per_metre) && *o.px_per_metre > 0)) {
    refuse("scale (pixels per metre)", "a positive number", *o.px_per_metre);
  }
}

std::uint32_t KeyTable::id(const std::string& key) {
  const auto [at, added] = ids_.try_emplace(key, static_cast<std::uint32_t>(names_.size()));
  if (added) names_.push_back(key);
  return at->second;
}

namespace {

// The mask-borne part of a frame's observation: shapes and contacts.
FrameObservation observe_masks(const FrameRecord& record, const std::vector<std::string>& identities,
                               const std::vector<std::uint32_t>& ids, int contact_px) {
  FrameObservation o;
  std::vector<const Mask*> masks;
  for (std::size_t k = 0; k < identities.size(); ++k) {
    AnimalObservation a;
    a.key = ids[k];
    const Mask* mask = record.masks_dict.contains(identities[k]) ? &record.masks_dict.at(identities[k]) : nullptr;
    if (mask != nullptr) o.size = mask->size();
    const std::optional<MaskShape> shape = mask != nullptr ? shape_of(*mask) : std::nullopt;
    if (shape) {
      a.present = true;
      a.centroid_x = shape->centroid_x, a.centroid_y = shape->centroid_y;
      a.long_axis = shape->long_axis;
      a.area = shape->area;
    }
    masks.push_back(shape ? mask : nullptr);
    o.animals.push_back(a);
  }
  for (std::size_t i = 0; i < masks.size(); ++i) {
    for (std::size_t j = i + 1; masks[i] != nullptr && j < masks.size(); ++j) {
      if (masks[j] != nullptr && masks_within(*masks[i], *masks[j], contact_px)) {
        o.contacts.emplace_back(static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(j));
      }
    }
  }
  return o;
}

}  // namespace

FrameObservation StreamObserver::observe(const StreamFrame& f, KeyTable& keys) {
  if (clip_ != f.clip_index) {
    clip_ = f.clip_index;
    next_ = 0;
    std::vector<std::uint32_t> ids;
    for (const std::string& key : *f.identities) ids.push_back(keys.id(key));
    std::vector<const FrameRecord*> records;
    for (const auto& [key, record] : *f.clip_data) records.push_back(&record);
    frames_.assign(records.size(), {});
    std::vector<std::exception_ptr> errors(records.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
      for (std::size_t i = next++; i < records.size(); i = next++) {
        try {
          frames_[i] = observe_masks(*records[i], *f.identities, ids, o_.contact_px);
        } catch (...) {
          errors[i] = std::current_exception();
        }
      }
    };
    std::vector<std::thread> pool;
    const unsigned helpers = std::min<unsigned>(std::max(1u, std::thread::hardware_concurrency()), 8) - 1;
    for (unsigned t = 0; t < helpers && t + 1 < records.size(); ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    for (const std::exception_ptr& e : errors) {
      if (e) std::rethrow_exception(e);
    }
  }
  if (next_ >= frames_.size()) throw std::logic_error("StreamObserver: more frames than the clip holds");
  FrameObservation o = std::move(frames_[next_++]);
  o.clip_start = next_ == 1;
  o.size = f.size;
  if (f.time) {
    const auto where = extracted_frame_of(f.record->image_path);
    const auto rate = o_.times.recording_rates.find(where->video_name);
    o.step = 1.0 / (rate != o_.times.recording_rates.end() ? rate->second : *o_.times.fps);
    o.clock = static_cast<double>(f.time->recording_start) + f.time->offset;
  }
  return o;
}

enum class ClockMode { kUnknown, kCamera, kFps, kFrames };

struct BehaviourRun::State {
  explicit State(const BehaviourOptions& options) : o(options), acc(o) {}
  const BehaviourOptions& o;
  Accumulator acc;
  ClockMode mode = ClockMode::kUnknown;
  std::int64_t ordinal = 0;
  std::optional<double> last_clock;  // the previous frame's camera clock
  std::int64_t joined = 0, parted = 0;  // clip boundaries
};

// Two clips are one stretch of time when the next one's first frame follows
// the previous one's last within two frames (consecutive ranges of one
// recording skip the range's detection frame), on the camera clock.
bool continuous(std::optional<double> before, std::optional<double> after, double step) {
  return before && after && *after > *before && *after - *before <= 2 * step + 1e-6;
}

BehaviourRun::BehaviourRun(const BehaviourOptions& options) : s_(std::make_unique<State>(options)) {
  check_behaviour_options(options);
}

BehaviourRun::~BehaviourRun() = default;

void BehaviourRun::frame(const FrameObservation& f, const KeyTable& keys, const std::function<std::string()>& where) {
  const BehaviourOptions& o = s_->o;
  if (s_->mode == ClockMode::kUnknown) {
    check_zones_inside(o.zones, f.size);
    s_->mode = f.clock ? ClockMode::kCamera : o.times.fps ? ClockMode::kFps : ClockMode::kFrames;
    s_->acc.set_per_second(s_->mode == ClockMode::kFrames ? kAssumedFrameRate : 1.0);
  }
  const auto check_bin = [&](double step) {
    if (o.bin_seconds < step) {
      throw std::invalid_argument("--bin of " + format_number(o.bin_seconds) + " s is shorter than a frame (" +
                                  format_number(step) + " s)");
    }
  };
  FrameClock c;
  if (s_->mode == ClockMode::kCamera) {
    if (!f.clock) {
      throw std::invalid_argument(where() +
                                  " has no time while the first frame had one: give every clip's recording rate "
                                  "(--videos or --fps), or none");
    }
    c.step = f.step;
    c.clock = *f.clock;
    check_bin(c.step);
    c.bin = static_cast<std::int64_t>(std::floor(c.clock / o.bin_seconds));
  } else if (s_->mode == ClockMode::kFps) {
    c.step = 1.0 / *o.times.fps;
    c.clock = static_cast<double>(s_->ordinal) * c.step;
    check_bin(c.step);
    c.bin = static_cast<std::int64_t>(std::floor(c.clock / o.bin_seconds));
  } else {
    c.clock = static_cast<double>(s_->ordinal);
    c.bin = s_->ordinal / o.bin_frames;
  }
  if (f.clip_start && s_->ordinal > 0) {
    if (continuous(s_->last_clock, f.clock, f.step)) {
      ++s_->joined;
    } else {
      ++s_->parted;
      s_->acc.part();
    }
  }
  s_->last_clock = f.clock;
  ++s_->ordinal;
  s_->acc.frame(f, keys, c);
}

BehaviourResult BehaviourRun::finish(std::vector<std::string> notes, const std::string& first_image) {
  const BehaviourOptions& o = s_->o;
  std::function<std::string(std::int64_t)> label;
  std::string unit = "s";
  if (s_->mode == ClockMode::kCamera) {
    label = [&](std::int64_t bin) {
      const double seconds = static_cast<double>(bin) * o.bin_seconds;
      return iso_time(FrameTime{static_cast<std::int64_t>(std::floor(seconds)), seconds - std::floor(seconds)});
    };
  } else if (s_->mode == ClockMode::kFps) {
    label = [&](std::int64_t bin) { return format_number(static_cast<double>(bin) * o.bin_seconds); };
    notes.push_back("bins: seconds from the first frame at " + format_number(*o.times.fps) +
                    " fps (the frames have no camera time)");
  } else {
    unit = "frames";
    label = [&](std::int64_t bin) { return std::to_string(bin * o.bin_frames); };
    notes.push_back("bins: " + std::to_string(o.bin_frames) +
                    " frames (no frame rate known: times in frames, the activity threshold taken at an assumed 10 fps; "
                    "give --fps)");
  }
  if (s_->joined + s_->parted > 0) {
    const auto plural = [](std::int64_t n) { return std::to_string(n) + (n == 1 ? " boundary" : " boundaries"); };
    std::string line = "clips: " + plural(s_->joined) + " joined (the next clip's first frame follows within two "
                       "frames on the camera clock), " + plural(s_->parted) + " not joined";
    if (s_->parted > 0) {
      line += " (no distance, speed, activity or contact bout spans " + std::string(s_->parted == 1 ? "it" : "them") +
              (s_->mode == ClockMode::kCamera ? ": a gap in time" : ": the frames have no camera time; give --fps or --videos") + ")";
    }
    notes.push_back(line);
  }
  return s_->acc.result(unit, label, std::move(notes), first_image);
}

BehaviourResult behaviour(const std::vector<std::string>& clips, const BehaviourOptions& options) {
  BehaviourRun run(options);
  KeyTable keys;
  StreamObserver observer(options);
  std::string first_image;
  std::vector<std::string> notes = stream_clips(clips, options.times, [&](const StreamFrame& f) {
    if (first_image.empty()) first_image = f.record->image_path;
    run.frame(observer.observe(f, keys), keys,
              [&] { return "frame " + f.record->image_path + " of '" + *f.clip + "'"; });
  });
  if (auto line = identities_note(clips)) notes.push_back(std::move(*line));
  return run.finish(std::move(notes), first_image);
}

void write_behaviour_csvs(const BehaviourResult& r, const std::string& out_dir) {
  std::filesystem::create_directories(out_dir);
  const std::filesystem::path dir(out_dir);
  std::vector<CsvRow> values;
  for (const BehaviourValue& v : r.values) values.push_back({v.bin_start, v.bin_end, v.animal, v.measure, text_of(v.value), v.unit});
  write_csv((dir / "behaviour.csv").string(), {"bin_start", "bin_end", "animal", "measure", "value", "unit"}, values);
  std::vector<CsvRow> contacts;
  for (const ContactValue& c : r.contacts) {
    contacts.push_back({c.bin_start, c.bin_end, c.animal_a, c.animal_b, format_number(c.bouts), text_of(c.time),
                        text_of(c.longest), r.time_unit});
  }
  write_csv((dir / "contacts.csv").string(),
            {"bin_start", "bin_end", "animal_a", "animal_b", "bouts", "contact_time", "longest_bout", "unit"}, contacts);
  const bool metres = r.px_per_metre.has_value();
  std::vector<std::string> header = {"animal", "visible", "missing", "distance_px", "mean_speed_px", "active", "still",
                                     "median_area_px", "contact_bouts", "contact_time"};
  if (metres) header.insert(header.begin() + 8, {"distance_m", "mean_speed_m", "median_area_m2"});
  for (const std::string& z : r.zone_names) header.push_back("zone:" + z);
  header.push_back("time_unit");
  std::vector<CsvRow> summary;
  for (const AnimalSummary& s : r.summary) {
    CsvRow row = {s.animal, text_of(s.visible), text_of(s.missing), text_of(s.distance_px), text_of(s.mean_speed_px),
                  text_of(s.active), text_of(s.still), text_of(s.median_area_px), format_number(s.contact_bouts),
                  text_of(s.contact_time)};
    if (metres) {
      row.insert(row.begin() + 8, {text_of(s.distance_m.value_or(NAN)), text_of(s.mean_speed_m.value_or(NAN)),
                                   text_of(s.median_area_m2.value_or(NAN))});
    }
    for (const double t : s.zone_time) row.push_back(text_of(t));
    row.push_back(r.time_unit);
    summary.push_back(std::move(row));
  }
  write_csv((dir / "summary.csv").string(), header, summary);
}

}  // namespace pelk
