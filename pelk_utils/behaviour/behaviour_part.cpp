#include "pelk_utils/behaviour/behaviour_part.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "pelk_utils/behaviour/observation.hpp"

namespace pelk {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The last byte is the format's version: 2 marks each clip's first frame.
constexpr std::array<char, 8> kMagic = {'P', 'E', 'L', 'K', 'B', 'H', 'V', '2'};
constexpr std::uint32_t kByteOrder = 0x01020304;  // parts are merged on the machine kind that wrote them
constexpr std::uint32_t kMaxText = 64u << 20;

// Everything that changes the measures: shards must agree on all of it.
json settings_json(const BehaviourOptions& o) {
  json zones = json::array();
  for (const Zone& z : o.zones) {
    json points = json::array();
    for (const cv::Point2f& p : z.polygon) points.push_back({p.x, p.y});
    zones.push_back({{"name", z.name}, {"points", points}});
  }
  return {{"fps", o.times.fps ? json(*o.times.fps) : json()},
          {"recording_rates", o.times.recording_rates},
          {"zones", zones},
          {"bin_seconds", o.bin_seconds},
          {"bin_frames", o.bin_frames},
          {"jitter_px", o.jitter_px},
          {"active_body_lengths", o.active_body_lengths},
          {"speed_window_s", o.speed_window_s},
          {"min_activity_bout_s", o.min_activity_bout_s},
          {"activity_band", o.activity_band},
          {"max_gap_frames", o.max_gap_frames},
          {"contact_px", o.contact_px},
          {"px_per_metre", o.px_per_metre ? json(*o.px_per_metre) : json()}};
}

BehaviourOptions options_of(const json& j) {
  BehaviourOptions o;
  if (!j.at("fps").is_null()) o.times.fps = j.at("fps").get<double>();
  o.times.recording_rates = j.at("recording_rates").get<std::map<std::string, double>>();
  for (const json& z : j.at("zones")) {
    Zone zone{z.at("name").get<std::string>(), {}};
    for (const json& p : z.at("points")) zone.polygon.emplace_back(p.at(0).get<float>(), p.at(1).get<float>());
    o.zones.push_back(std::move(zone));
  }
  o.bin_seconds = j.at("bin_seconds").get<double>();
  o.bin_frames = j.at("bin_frames").get<std::int64_t>();
  o.jitter_px = j.at("jitter_px").get<double>();
  o.active_body_lengths = j.at("active_body_lengths").get<double>();
  o.speed_window_s = j.at("speed_window_s").get<double>();
  o.min_activity_bout_s = j.at("min_activity_bout_s").get<double>();
  o.activity_band = j.at("activity_band").get<double>();
  o.max_gap_frames = j.at("max_gap_frames").get<int>();
  o.contact_px = j.at("contact_px").get<int>();
  if (!j.at("px_per_metre").is_null()) o.px_per_metre = j.at("px_per_metre").get<double>();
  return o;
}

class PartWriter {
 public:
  explicit PartWriter(const std::string& path) : out_(path, std::ios::binary | std::ios::trunc), path_(path) {
    if (!out_) throw std::runtime_error("cannot write behaviour part " + path + ": " + std::strerror(errno));
    out_.write(kMagic.data(), kMagic.size());
    put(kByteOrder);
  }
  template <typename T>
  void put(const T& v) {
    out_.write(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void text(const std::string& s) {
    put(static_cast<std::uint32_t>(s.size()));
    out_.write(s.data(), static_cast<std::streamsize>(s.size()));
  }
  // Writes the keys added since the last frame, then the frame.
  void frame(const FrameObservation& f, const KeyTable& keys) {
    for (; written_keys_ < keys.size(); ++written_keys_) {
      put('K');
      text(keys.name(static_cast<std::uint32_t>(written_keys_)));
    }
    put('F');
    put(static_cast<std::uint8_t>(f.clock ? 1 : 0));
    put(f.clock.value_or(0.0));
    put(f.step);
    put(static_cast<std::uint8_t>(f.clip_start ? 1 : 0));
    put(static_cast<std::int32_t>(f.size.width));
    put(static_cast<std::int32_t>(f.size.height));
    put(static_cast<std::uint32_t>(f.animals.size()));
    for (const AnimalObservation& a : f.animals) {
      put(a.key);
      put(static_cast<std::uint8_t>(a.present ? 1 : 0));
      put(a.centroid_x), put(a.centroid_y), put(a.long_axis), put(a.area);
    }
    put(static_cast<std::uint32_t>(f.contacts.size()));
    for (const auto& [i, j] : f.contacts) put(i), put(j);
  }
  void close() {
    out_.flush();
    if (!out_) throw std::runtime_error("cannot write behaviour part " + path_ + ": " + std::strerror(errno));
    out_.close();
  }

 private:
  std::ofstream out_;
  std::string path_;
  std::size_t written_keys_ = 0;
};

// Reads a part in order: its header, then its frames, then its trailer.
class PartReader {
 public:
  explicit PartReader(const std::string& path) : in_(path, std::ios::binary), path_(path) {
    if (!in_) throw std::invalid_argument("cannot read behaviour part " + path);
    std::array<char, 8> magic{};
    in_.read(magic.data(), magic.size());
    if (in_ && std::equal(magic.begin(), magic.end() - 1, kMagic.begin()) && magic.back() != kMagic.back()) {
      throw std::invalid_argument(path + " was written by another version of pelk: run its shard again");
    }
    if (!in_ || magic != kMagic) throw std::invalid_argument(path + " is not a behaviour part file");
    if (get<std::uint32_t>() != kByteOrder) {
      throw std::invalid_argument(path + " was written on a machine of another byte order: merge it there");
    }
    header = parse(text());
  }

  // Reads the next frame into `f` (keys interned into `keys`); false at the trailer.
  bool next(FrameObservation& f, KeyTable& keys) {
    for (;;) {
      const char tag = get<char>();
      if (tag == 'K') {
        local_.push_back(keys.id(text()));
      } else if (tag == 'E') {
        trailer = parse(text());
        return false;
      } else if (tag == 'F') {
        break;
      } else {
        fail("is damaged (unknown record)");
      }
    }
    const bool has_clock = get<std::uint8_t>() != 0;
    const double clock = get<double>();
    f.clock = has_clock ? std::optional<double>(clock) : std::nullopt;
    f.step = get<double>();
    f.clip_start = get<std::uint8_t>() != 0;
    f.size.width = get<std::int32_t>();
    f.size.height = get<std::int32_t>();
    const auto n = get<std::uint32_t>();
    if (n > 65535) fail("is damaged (animal count)");
    f.animals.resize(n);
    for (AnimalObservation& a : f.animals) {
      const auto key = get<std::uint32_t>();
      if (key >= local_.size()) fail("is damaged (identity)");
      a.key = local_[key];
      a.present = get<std::uint8_t>() != 0;
      a.centroid_x = get<double>(), a.centroid_y = get<double>(), a.long_axis = get<double>();
      a.area = get<std::int64_t>();
    }
    const auto contacts = get<std::uint32_t>();
    if (contacts > n * n) fail("is damaged (contact count)");
    f.contacts.resize(contacts);
    for (auto& [i, j] : f.contacts) {
      i = get<std::uint16_t>(), j = get<std::uint16_t>();
      if (i >= n || j >= n) fail("is damaged (contact)");
    }
    return true;
  }

  json header, trailer;

 private:
  template <typename T>
  T get() {
    T v{};
    in_.read(reinterpret_cast<char*>(&v), sizeof v);
    if (!in_) fail("ends early: the shard that wrote it did not finish, or the file was cut");
    return v;
  }
  std::string text() {
    const auto n = get<std::uint32_t>();
    if (n > kMaxText) fail("is damaged (text length)");
    std::string s(n, '\0');
    in_.read(s.data(), n);
    if (!in_) fail("ends early: the shard that wrote it did not finish, or the file was cut");
    return s;
  }
  json parse(const std::string& s) {
    try {
      return json::parse(s);
    } catch (const json::exception&) {
      fail("is damaged (header)");
    }
    return {};
  }
  [[noreturn]] void fail(const std::string& what) { throw std::invalid_argument("behaviour part " + path_ + " " + what); }

  std::ifstream in_;
  std::string path_;
  std::vector<std::uint32_t> local_;  // the part's key ids -> the merge's
};

}  // namespace

std::string behaviour_part_name(std::size_t shard, std::size_t shards) {
  return "behaviour-part-" + std::to_string(shard) + "-of-" + std::to_string(shards) + ".bin";
}

PartSummary write_behaviour_part(const std::vector<std::string>& clips, const BehaviourOptions& options,
                                 std::size_t shard, std::size_t shards, const std::string& path) {
  check_behaviour_options(options);
  if (shards == 0 || shard >= shards) throw std::invalid_argument("shard " + std::to_string(shard) + " of " + std::to_string(shards));
  if (fs::path(path).has_parent_path()) fs::create_directories(fs::path(path).parent_path());
  const std::string partial = path + ".partial";
  PartSummary summary;
  try {
    PartWriter out(partial);
    out.text(json{{"shard", shard}, {"shards", shards}, {"settings", settings_json(options)}, {"clips", clips}}.dump());
    KeyTable keys;
    StreamObserver observer(options);
    std::string first_image;
    summary.notes = stream_clips(clips, options.times, [&](const StreamFrame& f) {
      if (first_image.empty()) first_image = f.record->image_path;
      out.frame(observer.observe(f, keys), keys);
      ++summary.frames;
    });
    if (auto line = identities_note(clips)) summary.notes.push_back(std::move(*line));
    out.put('E');
    out.text(json{{"frames", summary.frames}, {"first_image", first_image}, {"notes", summary.notes}}.dump());
    out.close();
    fs::rename(partial, path);
  } catch (...) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    throw;
  }
  return summary;
}

MergedBehaviour merge_behaviour_parts(const std::string& dir) {
  static const std::regex kName(R"(behaviour-part-(\d+)-of-(\d+)\.bin)");
  std::map<std::size_t, std::string> found;
  std::optional<std::size_t> shards;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
    std::smatch m;
    const std::string name = e.path().filename().string();
    if (!std::regex_match(name, m, kName)) continue;
    const std::size_t n = std::stoul(m[2].str()), k = std::stoul(m[1].str());
    if (shards && *shards != n) {
      throw std::invalid_argument(dir + " holds parts of two splits (" + found.begin()->second + " and " + name +
                                  "): remove the other run's parts");
    }
    shards = n;
    found[k] = e.path().string();
  }
  if (ec) throw std::invalid_argument("cannot read " + dir + ": " + ec.message());
  if (!shards) throw std::invalid_argument(dir + " holds no behaviour part (behaviour-part-K-of-N.bin)");
  for (std::size_t k = 0; k < *shards; ++k) {
    if (!found.contains(k)) {
      throw std::invalid_argument(dir + " lacks " + behaviour_part_name(k, *shards) + ": shard " + std::to_string(k) +
                                  " has not finished");
    }
  }
  MergedBehaviour merged;
  std::optional<json> settings;
  std::unique_ptr<BehaviourRun> run;
  KeyTable keys;
  std::string first_image;
  std::vector<std::string> notes;
  std::optional<double> last_clock;
  std::string last_part;
  for (const auto& [k, path] : found) {
    PartReader part(path);
    if (part.header.value("shard", json()) != json(k) || part.header.value("shards", json()) != json(*shards)) {
      throw std::invalid_argument(path + " is named shard " + std::to_string(k) + " but holds another one");
    }
    if (!settings) {
      settings = part.header.at("settings");
      try {
        merged.options = options_of(*settings);
      } catch (const json::exception&) {
        throw std::invalid_argument("behaviour part " + path + " is damaged (settings)");
      }
      run = std::make_unique<BehaviourRun>(merged.options);
    } else if (part.header.at("settings") != *settings) {
      throw std::invalid_argument(path + " was written with other settings than " + found.begin()->second +
                                  ": run every shard with the same options");
    }
    FrameObservation f;
    bool first = true;
    while (part.next(f, keys)) {
      if (first && f.clock && last_clock && *f.clock < *last_clock) {
        throw std::invalid_argument("the frames of " + path + " lie before those of " + last_part +
                                    ": the shards' clips are not in recording order");
      }
      first = false;
      if (f.clock) last_clock = f.clock;
      run->frame(f, keys, [&] { return "a frame of " + path; });
    }
    last_part = path;
    if (first_image.empty()) first_image = part.trailer.value("first_image", std::string());
    // Every shard says how it found times: each line once.
    for (const json& n : part.trailer.value("notes", json::array())) {
      if (std::find(notes.begin(), notes.end(), n.get<std::string>()) == notes.end()) notes.push_back(n.get<std::string>());
    }
    merged.parts.push_back(path);
  }
  merged.result = run->finish(std::move(notes), first_image);
  return merged;
}

}  // namespace pelk
