#include "pelk_utils/behaviour/behaviour.hpp"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/behaviour/behaviour_part.hpp"
#include "pelk_utils/behaviour/behaviour_plots.hpp"
#include "pelk_utils/core/contact.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/synth/pen_scene.hpp"
#include "pelk_utils/tracks/tracks_table.hpp"

namespace pelk {
namespace {

const cv::Size kFrame(400, 300);

// An animal: a disc of radius 15 at (x, y), or nothing.
struct At {
  int id;
  double x, y;
};

Mask disc(double x, double y, int radius = 15) {
  cv::Mat1b full = cv::Mat1b::zeros(kFrame);
  cv::circle(full, cv::Point(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y))), radius, 1, cv::FILLED);
  return Mask(full);
}

class BehaviourTest : public testing::ScratchDirTest {
 protected:
  // Writes a clip: frames[i] lists the animals present in frame i; every
  // animal of the clip gets an entry (an empty mask where absent).
  // `images` names each frame's image (default: one black frame for all).
  std::string clip(const std::string& name, const std::vector<std::vector<At>>& frames,
                   const std::vector<std::string>& images = {}) {
    const std::string image = path("frame.png");
    if (!std::filesystem::exists(image)) cv::imwrite(image, cv::Mat3b::zeros(kFrame));
    std::set<int> ids;
    for (const auto& f : frames) {
      for (const At& a : f) ids.insert(a.id);
    }
    std::filesystem::create_directories(path(name));
    for (std::size_t i = 0; i < frames.size(); ++i) {
      std::vector<AnnotatedObject> objects;
      for (const int id : ids) {
        AnnotatedObject o;
        o.object_id = id;
        for (const At& a : frames[i]) {
          if (a.id == id) o.mask = disc(a.x, a.y);
        }
        objects.push_back(std::move(o));
      }
      write_annotation_file(path(name + "/output_pp_" + std::to_string(i) + ".json"), images.empty() ? image : images[i],
                            objects);
    }
    return path(name);
  }

  BehaviourResult run(const std::vector<std::string>& clips, BehaviourOptions o = {}) {
    testing::CoutCapture quiet;
    return behaviour(clips, o);
  }
};

std::string lines_of(const std::vector<std::string>& notes) {
  std::string text;
  for (const std::string& n : notes) text += n + "\n";
  return text;
}

// The whole-input value of one animal's summary field.
const AnimalSummary& of(const BehaviourResult& r, const std::string& animal) {
  for (const AnimalSummary& s : r.summary) {
    if (s.animal == animal) return s;
  }
  throw std::out_of_range(animal);
}

TEST_F(BehaviourTest, DistanceFollowsThePathAndIgnoresMaskNoise) {
  // Box0 walks a half circle of radius 100 at about 2 px a frame; Box1 stands
  // still, its mask jittering by up to a pixel each way.
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> noise(-1.0, 1.0);
  std::vector<std::vector<At>> frames;
  const int n = 160;
  for (int i = 0; i < n; ++i) {
    const double angle = M_PI * i / (n - 1);
    frames.push_back({{1, 200 + 100 * std::cos(angle), 150 + 100 * std::sin(angle) * 0.9},
                      {2, 60 + noise(rng), 60 + noise(rng)}});
  }
  double truth = 0;  // the disc centres' path, on whole pixels as drawn
  for (int i = 1; i < n; ++i) {
    const auto p = [&](int k) {
      const double a = M_PI * k / (n - 1);
      return cv::Point2d(std::lround(200 + 100 * std::cos(a)), std::lround(150 + 100 * std::sin(a) * 0.9));
    };
    truth += cv::norm(p(i) - p(i - 1));
  }
  const BehaviourResult r = run({clip("c", frames)});
  EXPECT_EQ(r.time_unit, "frames");
  EXPECT_NEAR(of(r, "Box0").distance_px, truth, 0.02 * truth);
  EXPECT_EQ(of(r, "Box1").distance_px, 0.0) << "the jitter filter keeps a still animal still";
  // Active and still: the walker is active wherever it has a speed (all but
  // the first second, 10 frames at the assumed rate), the stander still.
  EXPECT_EQ(of(r, "Box0").active, n - 10);
  EXPECT_EQ(of(r, "Box0").still, 0);
  EXPECT_EQ(of(r, "Box1").still, n - 10);
  EXPECT_EQ(of(r, "Box0").visible, n);
  EXPECT_EQ(of(r, "Box0").missing, 0);
  EXPECT_NEAR(of(r, "Box1").median_area_px, disc(60, 60).area(), 0.0);
}

// The path moves only when the centroid leaves the jitter disc: a step of
// exactly its radius stays inside it, a step of 1.2 times it is counted.
TEST_F(BehaviourTest, AStepOfExactlyTheJitterRadiusIsNotCounted) {
  std::vector<std::vector<At>> frames;
  for (int i = 0; i < 20; ++i) {
    const bool stepped = i >= 10;
    frames.push_back({{1, stepped ? 105.0 : 100.0, 100}, {2, stepped ? 206.0 : 200.0, 100}});
  }
  BehaviourOptions o;
  o.jitter_px = 5;
  const BehaviourResult r = run({clip("c", frames)}, o);
  EXPECT_EQ(of(r, "Box0").distance_px, 0.0) << "a step of exactly jitter_px";
  EXPECT_EQ(of(r, "Box1").distance_px, 6.0) << "a step of 1.2 x jitter_px";
}

// LabelMe writes a rectangle as two opposite corners: it is a zone like
// its four-cornered polygon.
TEST_F(BehaviourTest, ALabelMeRectangleIsAZone) {
  std::ofstream(path("rect.json")) << R"({"shapes": [{"label": "feeder", "shape_type": "rectangle", "points": [[200, 150], [100, 50]]},
    {"label": "drinker", "points": [[300, 200], [350, 250]]}]})";
  const std::vector<Zone> zones = read_zones(path("rect.json"), kFrame);
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones[0].polygon.size(), 4u);
  EXPECT_TRUE(in_zone(zones[0], {150, 100}));
  EXPECT_FALSE(in_zone(zones[0], {250, 100}));
  EXPECT_TRUE(in_zone(zones[1], {320, 220}));
  std::ofstream(path("line.json")) << R"({"shapes": [{"label": "rail", "shape_type": "line", "points": [[0, 0], [100, 100]]}]})";
  EXPECT_THROW(read_zones(path("line.json"), kFrame), std::invalid_argument);
}

TEST_F(BehaviourTest, ALongGapIsNotBridgedAndCountsAsMissing) {
  // Box0 walks 2 px a frame for 20 frames, is missing for 30, and comes back
  // 150 px further: only the walking counts. A gap of 3 frames is bridged.
  std::vector<std::vector<At>> frames;
  for (int i = 0; i < 20; ++i) frames.push_back({{1, 50.0 + 2 * i, 100}, {2, 300, 250}});
  for (int i = 0; i < 30; ++i) frames.push_back({{2, 300, 250}});
  for (int i = 0; i < 20; ++i) frames.push_back({{1, 240.0 + 2 * i, 100}, {2, 300, 250}});
  for (int i = 0; i < 3; ++i) frames.push_back({{2, 300, 250}});
  frames.push_back({{1, 290, 100}, {2, 300, 250}});  // 12 px on from 278, after 3 missing frames
  const BehaviourResult r = run({clip("c", frames)});
  EXPECT_NEAR(of(r, "Box0").distance_px, 2 * 19 + 2 * 19 + 12, 2.0);
  EXPECT_EQ(of(r, "Box0").missing, 33);
  EXPECT_EQ(of(r, "Box0").visible, 41);
  ASSERT_FALSE(r.notes.empty());
  EXPECT_NE(r.notes.back().find("1 track gap longer than 5 frames not bridged"), std::string::npos) << r.notes.back();
}

TEST_F(BehaviourTest, ZonesContactsAndBins) {
  // Box0 walks right across a feeder (x 100..200) at 5 px a frame; Box1
  // waits at x 260 and Box0 touches it from frame 46 on.
  std::vector<std::vector<At>> frames;
  for (int i = 0; i < 60; ++i) frames.push_back({{1, std::min(20.0 + 5 * i, 230.0), 100}, {2, 260, 100}});
  {
    std::ofstream(path("zones.json")) << R"({"shapes": [{"label": "feeder", "points": [[100, 50], [200, 50], [200, 150], [100, 150]]},
      {"label": "drinker", "points": [[350, 250], [390, 250], [390, 290]]}]})";
  }
  BehaviourOptions o;
  o.zones = read_zones(path("zones.json"), kFrame);
  o.bin_frames = 25;
  const BehaviourResult r = run({clip("c", frames)}, o);
  // Centroid x in [100, 200]: frames 16..36 (x = 20 + 5i), 21 frames.
  ASSERT_EQ(r.zone_names, (std::vector<std::string>{"feeder", "drinker"}));
  EXPECT_NEAR(of(r, "Box0").zone_time[0], 21, 1);
  EXPECT_EQ(of(r, "Box0").zone_time[1], 0);
  // Discs of radius 15 at x and 260 come within 2 px from x >= 228: frames 42 on
  // (x = 230 from frame 42), one bout of 18 frames.
  std::map<std::string, ContactValue> contacts;
  for (const ContactValue& c : r.contacts) contacts[c.bin_start] = c;
  ASSERT_TRUE(contacts.count("all"));
  EXPECT_EQ(contacts["all"].bouts, 1);
  EXPECT_EQ(contacts["all"].time, 18);
  EXPECT_EQ(contacts["all"].longest, 18);
  EXPECT_EQ(contacts["25"].bouts, 1);  // the bout starts in the bin of frames 25..49
  EXPECT_EQ(contacts["25"].time, 8);
  EXPECT_EQ(contacts["50"].bouts, 0);
  EXPECT_EQ(contacts["50"].time, 10);
  // Per bin, the longest stretch of contact inside it (the bout crosses into bin 50).
  EXPECT_EQ(contacts["25"].longest, 8);
  EXPECT_EQ(contacts["50"].longest, 10);
  EXPECT_EQ(contacts["0"].longest, 0);
  // Bins of 25 frames: 25, 25, 10 visible frames.
  std::vector<double> visible;
  for (const BehaviourValue& v : r.values) {
    if (v.animal == "Box1" && v.measure == "visible") visible.push_back(v.value);
  }
  EXPECT_EQ(visible, (std::vector<double>{25, 25, 10}));
  write_behaviour_csvs(r, path("out"));
  for (const char* name : {"behaviour.csv", "contacts.csv", "summary.csv"}) {
    EXPECT_TRUE(std::filesystem::exists(path(std::string("out/") + name))) << name;
  }
  EXPECT_NE(testing::slurp(path("out/summary.csv")).find("zone:feeder"), std::string::npos);
  // The plots: the walker's path drawn in its colour along y = 100.
  const std::vector<std::string> plots = write_behaviour_plots(r, path("out"));
  EXPECT_EQ(plots.size(), 5u);
  const cv::Mat3b paths = cv::imread(path("out/paths.png"));
  const cv::Point origin = behaviour_charts(r).front().frame_origin;
  ASSERT_GE(paths.cols, origin.x + kFrame.width);
  ASSERT_GE(paths.rows, origin.y + kFrame.height);
  const cv::Scalar c = animal_colour(0);
  const cv::Vec3b want(static_cast<uchar>(c[0]), static_cast<uchar>(c[1]), static_cast<uchar>(c[2]));
  EXPECT_EQ(paths(origin.y + 100, origin.x + 150), want);
  EXPECT_NE(paths(origin.y + 200, origin.x + 150), want);
}

// Every chart says what it shows: a title, axes with units, the animals'
// legend in summary order, ticks a reader can read (the tick labels of an
// axis share one precision, no 17525.25), and with a scale the units change.
TEST_F(BehaviourTest, ChartsSayWhatTheyShowInUnits) {
  std::vector<std::vector<At>> frames;
  for (int i = 0; i < 60; ++i) frames.push_back({{1, 60 + 2.0 * i, 100}, {2, 200, 200}, {3, 200, 231}});
  std::ofstream(path("zones.json")) << R"({"shapes": [{"label": "feeder", "points": [[150, 150], [250, 250]], "shape_type": "rectangle"}]})";
  BehaviourOptions o;
  o.times.fps = 10;
  o.bin_seconds = 2;
  o.zones = read_zones(path("zones.json"), kFrame);
  const std::string c = clip("c", frames);
  const std::vector<std::string> keys = {"Box0", "Box1", "Box2"};
  struct Want {
    const char* file;
    const char* x_label;
    const char* y_label;
    bool animal_legend;
  };
  for (const bool scaled : {false, true}) {
    SCOPED_TRACE(scaled ? "with a scale" : "without a scale");
    if (scaled) o.px_per_metre = 100;
    const std::vector<Chart> charts = behaviour_charts(run({c}, o));
    const std::vector<Want> wants = {
        {"paths.png", "x (px, frame)", "y (px, frame; down)", true},
        {"activity.png", "bin start (s from the first frame)", "share of visible time active", true},
        {"size.png", "bin start (s from the first frame)", scaled ? "median mask area (m²)" : "median mask area (px²)", true},
        {"zones.png", "animal", "time in zone (s)", false},
        {"contacts.png", "animal", "animal", false}};
    ASSERT_EQ(charts.size(), wants.size());
    for (std::size_t i = 0; i < wants.size(); ++i) {
      const Chart& chart = charts[i];
      SCOPED_TRACE(chart.file);
      EXPECT_EQ(chart.file, wants[i].file);
      ASSERT_EQ(chart.of("title").size(), 1u);
      EXPECT_GT(chart.of("title")[0].size(), 10u);
      EXPECT_EQ(chart.of("x_label"), std::vector<std::string>{wants[i].x_label});
      EXPECT_EQ(chart.of("y_label"), std::vector<std::string>{wants[i].y_label});
      if (wants[i].animal_legend) {
        EXPECT_EQ(chart.of("legend"), keys);
      }
      for (const char* axis : {"x_tick", "y_tick"}) {
        const std::vector<std::string> ticks = chart.of(axis);
        EXPECT_GE(ticks.size(), 2u) << axis;
        for (const std::string& t : ticks) EXPECT_LE(t.size(), 8u) << axis << " " << t;
      }
    }
    EXPECT_EQ(charts[3].of("legend"), std::vector<std::string>{"feeder"});
    EXPECT_EQ(charts[3].of("x_tick"), keys);
    EXPECT_EQ(charts[4].of("y_tick"), keys) << "rows by box key";
    EXPECT_EQ(charts[4].of("colour_bar"), std::vector<std::string>{"contact time (s)"});
    EXPECT_GE(charts[4].of("colour_tick").size(), 2u);
    EXPECT_EQ(charts[0].of("scale_bar"), scaled ? std::vector<std::string>{"1 m"} : std::vector<std::string>{});
  }
}

TEST(NiceTicksTest, StepsOfOneTwoFiveWithTheirOwnPrecision) {
  struct Case {
    const char* name;
    double low, high;
    std::vector<std::string> labels;
  };
  for (const Case& c : {Case{"unit_share", 0, 1, {"0.00", "0.25", "0.50", "0.75", "1.00"}},
                        Case{"areas", 17420.5, 17525.25, {"17400", "17450", "17500", "17550"}},
                        Case{"seconds", 0, 37, {"0", "10", "20", "30", "40"}},
                        Case{"one_value", 5, 5, {"4.6", "4.8", "5.0", "5.2", "5.4"}},
                        Case{"nothing", 0, 0, {"-1.0", "-0.5", "0.0", "0.5", "1.0"}}}) {
    SCOPED_TRACE(c.name);
    const std::vector<double> ticks = nice_ticks(c.low, c.high);
    std::vector<std::string> labels;
    for (const double t : ticks) labels.push_back(tick_label(t, ticks[1] - ticks[0]));
    EXPECT_EQ(labels, c.labels);
  }
}

struct BadSetting {
  const char* name;
  std::function<void(BehaviourOptions&)> change;
  const char* message;
};

TEST_F(BehaviourTest, BadSettingsAreOneLineErrorsNamingTheSetting) {
  const std::vector<BadSetting> cases = {
      {"scale_zero", [](BehaviourOptions& o) { o.px_per_metre = 0; }, "scale (pixels per metre) must be a positive number"},
      {"scale_nan", [](BehaviourOptions& o) { o.px_per_metre = std::nan(""); }, "scale (pixels per metre)"},
      {"bin_zero", [](BehaviourOptions& o) { o.bin_seconds = 0; }, "setting bin must be a positive length"},
      {"jitter", [](BehaviourOptions& o) { o.jitter_px = -1; }, "jitter_px must be 0 or more"}};
  for (const BadSetting& c : cases) {
    BehaviourOptions o;
    c.change(o);
    try {
      check_behaviour_options(o);
      ADD_FAILURE() << c.name << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.name << ": " << e.what();
    }
  }
  EXPECT_EQ(parse_bin_length("10m"), 600);
  EXPECT_EQ(parse_bin_length("1.5h"), 5400);
  EXPECT_EQ(parse_bin_length("500f"), -500);
  for (const char* bad : {"10", "m", "0s", "-5m", "nanm", "2.5f", "10x"}) {
    EXPECT_THROW(parse_bin_length(bad), std::invalid_argument) << bad;
  }
}

TEST_F(BehaviourTest, ZonesOutsideTheClipsFramesAreRefusedBeforeAnythingIsMeasured) {
  std::ofstream(path("z.json")) << R"({"shapes": [{"label": "far", "points": [[10, 10], [900, 10], [10, 50]]}]})";
  BehaviourOptions o;
  o.zones = read_zones(path("z.json"));  // no frame size known yet: read as drawn
  const std::string c = clip("c", {{{1, 50, 50}}});
  try {
    run({c}, o);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("zone 'far' leaves the 400 x 300 frame of the clips"), std::string::npos) << e.what();
  }
}

TEST_F(BehaviourTest, BadZonesAreRefusedNamingTheZone) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"shapes": [{"label": "feeder", "points": [[10, 10], [500, 10], [10, 50]]}]})", "zone 'feeder' leaves the 400 x 300 frame"},
      {R"({"shapes": [{"label": "line", "points": [[10, 10], [20, 20], [30, 30]]}]})", "zone 'line' encloses no area"},
      // (two points with no shape type, or "rectangle", are a rectangle's corners)
      {R"({"shapes": [{"label": "two", "shape_type": "line", "points": [[10, 10], [20, 20]]}]})", "zone 'two' has fewer than three points"},
      {R"({"annotations": []})", "not a LabelMe-style file"},
      {R"({"shapes": [{"points": [[10, 10], [20, 20], [10, 30]]}]})", "shape 0 has no \"label\""}};
  for (const auto& [text, message] : cases) {
    std::ofstream(path("z.json")) << text;
    try {
      read_zones(path("z.json"), kFrame);
      ADD_FAILURE() << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(path("z.json")), std::string::npos) << e.what();
    }
  }
}

// Per frame of a run with one-frame bins: the value of `measure` per animal.
std::map<std::string, std::vector<double>> per_frame(const BehaviourResult& r, const std::string& measure, int frames) {
  std::map<std::string, std::vector<double>> out;
  for (const BehaviourValue& v : r.values) {
    if (v.measure != measure) continue;
    auto& series = out[v.animal];
    series.resize(static_cast<std::size_t>(frames), 0.0);
    series[static_cast<std::size_t>(std::stoi(v.bin_start))] = v.value;
  }
  return out;
}

// Bouts (runs of frames) of a per-frame flag.
std::vector<synth::FrameSpan> bouts_of(const std::vector<bool>& on) {
  std::vector<synth::FrameSpan> bouts;
  for (int f = 0; f < static_cast<int>(on.size()); ++f) {
    if (!on[static_cast<std::size_t>(f)]) continue;
    if (!bouts.empty() && bouts.back().last == f) {
      ++bouts.back().last;
    } else {
      bouts.push_back({f, f + 1});
    }
  }
  return bouts;
}

// Share of `bouts` that overlap a bout of `other`.
double matched_share(const std::vector<synth::FrameSpan>& bouts, const std::vector<synth::FrameSpan>& other) {
  if (bouts.empty()) return 1;
  int matched = 0;
  for (const auto& b : bouts) {
    matched += std::any_of(other.begin(), other.end(), [&](const auto& o) { return o.first < b.last && b.first < o.last; });
  }
  return static_cast<double>(matched) / static_cast<double>(bouts.size());
}

// Two minutes of the synthetic pen at 10 fps, written from its truth masks,
// measured in one-frame bins and held against what the scene knows: every
// animal's true walk, when it stands, where it is, which animals touch.
TEST_F(BehaviourTest, MeasuresAgreeWithTheSyntheticPensTruth) {
  synth::SceneConfig config;
  config.frame_size = {590, 720};
  config.sway = 4;  // walks of 40..100 px, not sways within the jitter filter's radius
  config.fps = 10;
  config.frames = 1200;
  // Animal 9 (drawn on top: nothing hides it) stands for a minute.
  config.pauses = {{9, {300, 900}}, {3, {100, 400}}, {6, {500, 560}}};
  const synth::PenScene scene(config);
  const std::string image = path("scene.png");
  cv::imwrite(image, cv::Mat3b::zeros(config.frame_size));
  std::filesystem::create_directories(path("scene"));
  std::vector<std::vector<synth::AnimalTruth>> truth;
  for (int f = 0; f < config.frames; ++f) {
    truth.push_back(scene.truth(f));
    std::vector<AnnotatedObject> objects;
    for (const synth::AnimalTruth& a : truth.back()) objects.push_back({a.identity + 1, a.mask, {}});
    write_annotation_file(path("scene/output_pp_" + std::to_string(f) + ".json"), image, objects);
  }
  std::ofstream(path("zones.json")) << R"({"shapes": [{"label": "feeder", "points": [[180, 200], [400, 200], [400, 400], [180, 400]]}]})";
  BehaviourOptions o;
  o.bin_frames = 1;  // frames at the assumed 10 fps: one value per frame
  o.zones = read_zones(path("zones.json"));
  const BehaviourResult r = run({path("scene")}, o);
  const int n = config.frames;
  const auto distance = per_frame(r, "distance", n), active = per_frame(r, "active", n), still = per_frame(r, "still", n),
             feeder = per_frame(r, "zone:feeder", n);
  // Animals of no scripted event walk their own way the whole time.
  int uncut = 0;
  for (const int id : {0, 3, 4, 6, 8, 9}) {
    SCOPED_TRACE("animal " + std::to_string(id));
    const std::string key = "Box" + std::to_string(id);
    double walked = 0;
    int agree = 0, judged = 0, truth_in_zone = 0, visits = 0;
    bool cut = false;  // the frame's edge cuts the animal: its visible centroid walks less than it
    for (int f = 1; f < n; ++f) {
      const double step = cv::norm(scene.centre(id, f) - scene.centre(id, f - 1));
      walked += step;
      const auto shape = shape_of(truth[static_cast<std::size_t>(f)][static_cast<std::size_t>(id)].mask);
      ASSERT_TRUE(shape);
      const bool moving = step * config.fps > o.active_body_lengths * shape->long_axis;
      const Box& box = truth[static_cast<std::size_t>(f)][static_cast<std::size_t>(id)].box;
      cut = cut || box[0] == 0 || box[1] == 0 || box[2] == config.frame_size.width - 1 ||
            box[3] == config.frame_size.height - 1;
      const auto i = static_cast<std::size_t>(f);
      if (active.at(key)[i] + still.at(key)[i] > 0) {
        ++judged;
        agree += (active.at(key)[i] > 0) == moving;
      }
      const auto previous = shape_of(truth[i - 1][static_cast<std::size_t>(id)].mask);
      const bool in = in_zone(o.zones[0], {shape->centroid_x, shape->centroid_y});
      truth_in_zone += in;
      visits += in && !in_zone(o.zones[0], {previous->centroid_x, previous->centroid_y});
    }
    if (!cut) {
      EXPECT_NEAR(of(r, key).distance_px, walked, 0.02 * walked);
    }
    uncut += !cut;
    EXPECT_GE(agree, 0.95 * judged) << agree << " of " << judged;
    EXPECT_GE(judged, n - 20);
    EXPECT_NEAR(of(r, key).zone_time[0], truth_in_zone, std::max(visits, 1)) << visits << " visits";
  }
  EXPECT_GE(uncut, 4) << "distances held against the truth";
  // Standing a minute: not a pixel walked after the first frame of the pause.
  double paused = 0;
  for (int f = 301; f < 900; ++f) paused += distance.at("Box9")[static_cast<std::size_t>(f)];
  EXPECT_EQ(paused, 0.0);
  // Contacts: bouts of every pair found with precision and recall of 95 %.
  std::map<std::pair<std::string, std::string>, std::vector<bool>> measured, touching;
  for (const ContactValue& c : r.contacts) {
    if (c.bin_start == "all") continue;
    auto& on = measured[{c.animal_a, c.animal_b}];
    on.resize(static_cast<std::size_t>(n), false);
    on[static_cast<std::size_t>(std::stoi(c.bin_start))] = c.time > 0;
  }
  for (int f = 0; f < n; ++f) {
    const auto& animals = truth[static_cast<std::size_t>(f)];
    for (std::size_t a = 0; a < animals.size(); ++a) {
      for (std::size_t b = a + 1; b < animals.size(); ++b) {
        if (animals[a].mask.empty() || animals[b].mask.empty() || !masks_within(animals[a].mask, animals[b].mask, 2)) continue;
        auto& on = touching[{"Box" + std::to_string(a), "Box" + std::to_string(b)}];
        on.resize(static_cast<std::size_t>(n), false);
        on[static_cast<std::size_t>(f)] = true;
      }
    }
  }
  double truth_bouts = 0, found = 0, measured_bouts = 0, right = 0;
  for (auto& [pair, on] : touching) {
    auto& m = measured[pair];
    m.resize(static_cast<std::size_t>(n), false);
    const auto t = bouts_of(on), b = bouts_of(m);
    truth_bouts += static_cast<double>(t.size()), found += matched_share(t, b) * static_cast<double>(t.size());
  }
  for (auto& [pair, on] : measured) {
    auto& t = touching[pair];
    t.resize(static_cast<std::size_t>(n), false);
    const auto b = bouts_of(on), tb = bouts_of(t);
    measured_bouts += static_cast<double>(b.size()), right += matched_share(b, tb) * static_cast<double>(b.size());
  }
  ASSERT_GT(truth_bouts, 3) << "the scene has contacts to find";
  EXPECT_GE(found, 0.95 * truth_bouts);
  EXPECT_GE(right, 0.95 * measured_bouts);
}

// Four clips of 25 frames: Box0 walks to and fro, Box1 stands, Box2 comes
// and goes, touching Box1 now and then, so paths, bouts and gaps run across
// the clips' seams.
std::vector<std::vector<std::vector<At>>> seam_clips() {
  std::vector<std::vector<std::vector<At>>> clips(4);
  for (int i = 0; i < 100; ++i) {
    std::vector<At> f = {{1, 100 + 80 * std::sin(i * 0.07), 80}, {2, 200, 200}};
    if (i % 40 < 30) f.push_back({3, 200 + 40 * std::cos(i * 0.2), 235});
    clips[static_cast<std::size_t>(i / 25)].push_back(f);
  }
  return clips;
}

// Clips are one stretch of time only where the next one's first frame
// follows within two frames on the camera clock (consecutive ranges of a
// recording): there two clips measure as one clip of the same frames.
// Elsewhere nothing spans the boundary, so two clips measure as the sums of
// each on its own, though Box1 "jumps" 150 px and the pair stops touching.
TEST_F(BehaviourTest, ClipsAreJoinedOnlyWhereTheyAreContinuousInTime) {
  const std::string video = path("2024-04-05/Camera62_1_20240405070000/");
  // At 10 fps a range of 0.05 min is 30 frames: its detection frame, then 29 saved.
  const auto images = [&](const std::string& range) {
    std::vector<std::string> names;
    std::filesystem::create_directories(video + range);
    for (int i = 0; i < 29; ++i) {
      names.push_back(video + range + "/" + cv::format("%04d", i) + ".jpg");
      cv::imwrite(names.back(), cv::Mat3b::zeros(kFrame));
    }
    return names;
  };
  // Box0 walks 2 px a frame of recording time; Box1 stands beside Box2 in
  // the first clip and 150 px away in the second (another animal, or a gap).
  const auto frames = [](int first_frame, bool second) {
    std::vector<std::vector<At>> out;
    for (int n = first_frame; n < first_frame + 29; ++n) {
      out.push_back({{1, 40 + 2.0 * n, 60}, {2, second ? 330.0 : 180.0, 200}, {3, 210, 200}});
    }
    return out;
  };
  struct Case {
    const char* name;
    const char* second_range;  // empty: frames outside an extract tree
    int second_first_frame;    // recording frame number of the second clip's first frame
    bool joined;
  };
  for (const Case& c : {Case{"consecutive_ranges", "0.05min_to_0.1min", 31, true},
                        Case{"a_range_left_out", "0.1min_to_0.15min", 61, false},
                        Case{"no_camera_times", "", 31, false}}) {
    SCOPED_TRACE(c.name);
    const std::string dir = std::string(c.name) + "/";
    const bool timed = *c.second_range != 0;
    const auto a_images = timed ? images("0min_to_0.05min") : std::vector<std::string>{};
    const auto b_images = timed ? images(c.second_range) : std::vector<std::string>{};
    const std::string a = clip(dir + "a", frames(1, false), a_images);
    const std::string b = clip(dir + "b", frames(c.second_first_frame, true), b_images);
    BehaviourOptions o;
    o.times.fps = 10;
    const BehaviourResult both = run({a, b}, o);
    const std::string joined_note = std::string("clips: ") + (c.joined ? "1 boundary joined" : "0 boundaries joined");
    EXPECT_TRUE(std::any_of(both.notes.begin(), both.notes.end(),
                            [&](const std::string& n) { return n.starts_with(joined_note); }))
        << lines_of(both.notes);
    if (c.joined) {
      std::vector<std::vector<At>> all = frames(1, false);
      const auto later = frames(c.second_first_frame, true);
      all.insert(all.end(), later.begin(), later.end());
      std::vector<std::string> all_images = a_images;
      all_images.insert(all_images.end(), b_images.begin(), b_images.end());
      const BehaviourResult one = run({clip(dir + "one", all, all_images)}, o);
      write_behaviour_csvs(both, path(dir + "both_csv"));
      write_behaviour_csvs(one, path(dir + "one_csv"));
      for (const char* name : {"behaviour.csv", "contacts.csv", "summary.csv"}) {
        EXPECT_EQ(testing::slurp(path(dir + "both_csv/" + name)), testing::slurp(path(dir + "one_csv/" + name))) << name;
      }
      continue;
    }
    const BehaviourResult first = run({a}, o), second = run({b}, o);
    for (const char* animal : {"Box0", "Box1", "Box2"}) {
      SCOPED_TRACE(animal);
      const AnimalSummary &s = of(both, animal), &s1 = of(first, animal), &s2 = of(second, animal);
      EXPECT_NEAR(s.distance_px, s1.distance_px + s2.distance_px, 1e-9);
      EXPECT_NEAR(s.active, s1.active + s2.active, 1e-9);
      EXPECT_NEAR(s.still, s1.still + s2.still, 1e-9);
      EXPECT_NEAR(s.visible, s1.visible + s2.visible, 1e-9);
      EXPECT_EQ(s.contact_bouts, s1.contact_bouts + s2.contact_bouts);
      EXPECT_NEAR(s.contact_time, s1.contact_time + s2.contact_time, 1e-9);
    }
    EXPECT_EQ(of(both, "Box1").active, 0) << "a standing animal is never active";
  }
}

// Animals walking steadily at 0.8 to 1.5 times the activity threshold, their
// masks jittering by a pixel as a segmenter's do: each is called as its true
// speed is (active above the threshold) in at least 95 % of its frames.
// Without the shortest-bout rule, walkers near the threshold flip with the
// noise.
TEST_F(BehaviourTest, SteadyWalkersNearTheThresholdAreCalledAsTheyWalk) {
  const std::vector<double> factors = {0.8, 0.9, 0.93, 0.95, 0.97, 1.05, 1.07, 1.09, 1.2, 1.5};
  const double fps = 10, semi_major = 30, semi_minor = 11;
  const int n = 300;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> jitter(-1.0, 1.0);
  const std::string image = path("frame.png");
  cv::imwrite(image, cv::Mat3b::zeros(kFrame));
  std::filesystem::create_directories(path("walkers"));
  for (int f = 0; f < n; ++f) {
    std::vector<AnnotatedObject> objects;
    for (std::size_t i = 0; i < factors.size(); ++i) {
      // The threshold is 0.1 body lengths (the mask's long axis) a second.
      const double speed = factors[i] * 0.1 * 2 * semi_major / fps;  // px a frame
      cv::Mat1b full = cv::Mat1b::zeros(kFrame);
      const cv::Point2d centre(40 + speed * f + 0.4 * jitter(rng), 15 + 28.0 * static_cast<double>(i) + 0.4 * jitter(rng));
      constexpr int kShift = 4;  // sub-pixel drawing, as a polygon outline lands
      cv::ellipse(full, cv::Point(static_cast<int>(centre.x * 16), static_cast<int>(centre.y * 16)),
                  cv::Size(static_cast<int>((semi_major + jitter(rng)) * 16), static_cast<int>((semi_minor + jitter(rng)) * 16)),
                  0, 0, 360, 1, cv::FILLED, cv::LINE_8, kShift);
      objects.push_back({static_cast<int>(i) + 1, Mask(full), {}});
    }
    write_annotation_file(path("walkers/output_pp_" + std::to_string(f) + ".json"), image, objects);
  }
  BehaviourOptions o;
  o.times.fps = fps;
  const BehaviourResult r = run({path("walkers")}, o);
  for (std::size_t i = 0; i < factors.size(); ++i) {
    SCOPED_TRACE("walking at " + format_number(factors[i]) + " x the threshold");
    const AnimalSummary& s = of(r, "Box" + std::to_string(i));
    EXPECT_GE(factors[i] > 1 ? s.active : s.still, 0.95 * (s.active + s.still)) << s.active << " active, " << s.still << " still";
    EXPECT_GE(s.active + s.still, 0.9 * n / fps) << "judged";
  }
}

TEST_F(BehaviourTest, ShardsMergedEqualOneRunByteForByte) {
  std::vector<std::string> clips;
  for (const auto& frames : seam_clips()) clips.push_back(clip("c" + std::to_string(clips.size()), frames));
  std::ofstream(path("zones.json")) << R"({"shapes": [{"label": "feeder", "points": [[40, 40], [140, 40], [140, 120], [40, 120]]}]})";
  struct Case {
    const char* name;
    std::optional<double> fps;
    double bin_seconds;
    std::int64_t bin_frames;
    std::size_t shards;
  };
  // Bins of 3 s at 10 fps (30 frames) and of 40 frames straddle the 25-frame clips.
  for (const Case& c : {Case{"fps_bins_three_shards", 10.0, 3, 6000, 3}, Case{"frame_bins_two_shards", {}, 600, 40, 2},
                        Case{"more_shards_than_clips", 10.0, 3, 6000, 6}}) {
    SCOPED_TRACE(c.name);
    BehaviourOptions o;
    o.times.fps = c.fps;
    o.bin_seconds = c.bin_seconds;
    o.bin_frames = c.bin_frames;
    o.px_per_metre = 250;
    o.zones = read_zones(path("zones.json"), kFrame);
    write_behaviour_csvs(run(clips, o), path(std::string("one_") + c.name));
    EXPECT_NE(testing::slurp(path(std::string("one_") + c.name + "/summary.csv"))
                  .find("median_area_px,distance_m,mean_speed_m,median_area_m2,"),
              std::string::npos)
        << "metres beside the pixels";
    const std::string parts = path(std::string("parts_") + c.name);
    for (std::size_t k = 0; k < c.shards; ++k) {
      // The CLI's split: shard k takes a contiguous block.
      const std::vector<std::string> block(clips.begin() + static_cast<long>(clips.size() * k / c.shards),
                                           clips.begin() + static_cast<long>(clips.size() * (k + 1) / c.shards));
      testing::CoutCapture quiet;
      write_behaviour_part(block, o, k, c.shards, parts + "/" + behaviour_part_name(k, c.shards));
    }
    const MergedBehaviour merged = merge_behaviour_parts(parts);
    EXPECT_EQ(merged.parts.size(), c.shards);
    write_behaviour_csvs(merged.result, path(std::string("merged_") + c.name));
    for (const char* name : {"behaviour.csv", "contacts.csv", "summary.csv"}) {
      EXPECT_EQ(testing::slurp(path(std::string("merged_") + c.name + "/" + name)),
                testing::slurp(path(std::string("one_") + c.name + "/" + name)))
          << name;
    }
  }
}

TEST_F(BehaviourTest, MergeRefusesPartsThatDoNotMakeOneRun) {
  std::vector<std::string> clips;
  for (const auto& frames : seam_clips()) clips.push_back(clip("c" + std::to_string(clips.size()), frames));
  BehaviourOptions o;
  const auto part = [&](const std::string& dir, std::size_t k, std::size_t n, const BehaviourOptions& options) {
    testing::CoutCapture quiet;
    write_behaviour_part({clips[k]}, options, k, n, path(dir + "/" + behaviour_part_name(k, n)));
    return path(dir + "/" + behaviour_part_name(k, n));
  };
  const auto refused = [&](const std::string& dir, const std::string& message) {
    try {
      merge_behaviour_parts(path(dir));
      ADD_FAILURE() << dir << " merged";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << dir << ": " << e.what();
    }
  };
  part("missing", 0, 2, o);
  refused("missing", "lacks behaviour-part-1-of-2.bin: shard 1 has not finished");
  part("splits", 0, 2, o), part("splits", 1, 3, o);
  refused("splits", "holds parts of two splits");
  BehaviourOptions other = o;
  other.jitter_px = 5;
  part("settings", 0, 2, o), part("settings", 1, 2, other);
  refused("settings", "was written with other settings");
  const std::string cut = part("cut", 0, 1, o);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 7);
  refused("cut", "ends early");
  std::filesystem::create_directories(path("alien"));
  std::ofstream(path("alien/behaviour-part-0-of-1.bin")) << "{\"shapes\": []}";
  refused("alien", "is not a behaviour part file");
  std::filesystem::create_directories(path("empty"));
  refused("empty", "holds no behaviour part");
}

}  // namespace
}  // namespace pelk

