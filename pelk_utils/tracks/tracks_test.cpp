#include "pelk_utils/tracks/tracks_table.hpp"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/synth/pen_scene.hpp"
#include "pelk_utils/tracks/frame_time.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;

Mask drawn(cv::Size size, const std::function<void(cv::Mat1b&)>& draw) {
  cv::Mat1b m = cv::Mat1b::zeros(size);
  draw(m);
  return Mask(m);
}

struct ShapeCase {
  const char* name;
  std::function<void(cv::Mat1b&)> draw;
  double cx, cy, orientation, long_axis, short_axis;
};

class ShapeTest : public ::testing::TestWithParam<ShapeCase> {};

// Worked values: a w x h block of pixels has variances (w^2 - 1) / 12 and
// (h^2 - 1) / 12; axes are 4 sqrt of them; y grows downwards.
TEST_P(ShapeTest, CentroidAxesAndOrientation) {
  const auto s = shape_of(drawn({40, 30}, GetParam().draw));
  ASSERT_TRUE(s.has_value());
  EXPECT_NEAR(s->centroid_x, GetParam().cx, 1e-9);
  EXPECT_NEAR(s->centroid_y, GetParam().cy, 1e-9);
  EXPECT_NEAR(s->orientation, GetParam().orientation, 1e-9);
  EXPECT_NEAR(s->long_axis, GetParam().long_axis, 1e-9);
  EXPECT_NEAR(s->short_axis, GetParam().short_axis, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ShapeTest,
    ::testing::Values(
        ShapeCase{"wide_block", [](cv::Mat1b& m) { m(cv::Rect(2, 3, 10, 4)).setTo(1); }, 6.5, 4.5, 0,
                  4 * std::sqrt(99.0 / 12), 4 * std::sqrt(15.0 / 12)},
        ShapeCase{"tall_block", [](cv::Mat1b& m) { m(cv::Rect(5, 1, 3, 20)).setTo(1); }, 6, 10.5, 90,
                  4 * std::sqrt(399.0 / 12), 4 * std::sqrt(8.0 / 12)},
        ShapeCase{"falling_diagonal", [](cv::Mat1b& m) { for (int i = 0; i < 10; ++i) m(i, i) = 1; }, 4.5, 4.5, 45,
                  4 * std::sqrt(2 * 99.0 / 12), 0},
        ShapeCase{"rising_diagonal", [](cv::Mat1b& m) { for (int i = 0; i < 10; ++i) m(9 - i, i) = 1; }, 4.5, 4.5,
                  135, 4 * std::sqrt(2 * 99.0 / 12), 0},
        ShapeCase{"one_pixel", [](cv::Mat1b& m) { m(7, 3) = 1; }, 3, 7, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShapeTest, EmptyMaskHasNoShape) { EXPECT_FALSE(shape_of(Mask(cv::Mat1b::zeros(5, 5))).has_value()); }

// Frames of extracted ranges: times step by the frame interval through a
// range and on into the next (its first image is the frame after the last
// one of the range before), at whole and fractional rates.
TEST(FrameTimeTest, TimesStepByTheIntervalAcrossRanges) {
  const std::string rec = "out/20240405/Camera62_1_20240405070000/";
  for (const double rate : {25.0, 29.97}) {
    const auto last = extracted_frame_of(rec + "0min_to_0.1min/right_cropped_frames/0149.jpg");
    const auto next = extracted_frame_of(rec + "0.1min_to_0.2min/right_cropped_frames/0000.jpg");
    const auto first = extracted_frame_of(rec + "0min_to_0.1min/right_cropped_frames/0000.jpg");
    ASSERT_TRUE(last && next && first);
    const double whole = std::floor(rate);
    EXPECT_EQ(recording_frame_of(*first, rate), 1);  // frame 0 is the detection frame
    EXPECT_EQ(recording_frame_of(*next, rate), std::lround(6 * whole) + 1);
    EXPECT_EQ(recording_frame_of(*next, rate) - recording_frame_of(*last, rate), rate == 25 ? 1 : 6 * 29 + 1 - 150);
    EXPECT_NEAR(seconds_between(frame_time(*first, rate), frame_time(*next, rate)),
                static_cast<double>(recording_frame_of(*next, rate) - 1) / rate, 1e-12);
  }
  const auto f = extracted_frame_of(rec + "0.30000000000000004min_to_0.4min/right_cropped_frames/0002.jpg");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->video_name, "Camera62_1_20240405070000");
  EXPECT_EQ(recording_frame_of(*f, 25), 450 + 1 + 2);
  EXPECT_EQ(iso_time(frame_time(*f, 25)), "2024-04-05T07:00:18.120");
  for (const char* other : {"frames/0001.jpg", "x/Camera62_1_20240405070000/clip/0001.jpg",
                            "x/Camera62_1_20241305070000/0min_to_1min/0001.jpg", "x/Camera62_1_20240405070000/0min_to_1min/a.jpg"}) {
    EXPECT_FALSE(extracted_frame_of(other).has_value()) << other;
  }
}

class TracksTableTest : public testing::ScratchDirTest {
 protected:
  // Writes `frames` frames of the scene from `first` as an annotation
  // folder; `drop` leaves an animal out of a frame.
  // `shift` numbers the animals another way (as a clip tracked on its own).
  std::string clip(const std::string& name, int first, int frames, const std::function<bool(int, int)>& drop = {},
                   int shift = 0) {
    synth::SceneConfig c;
    c.frame_size = {200, 240};
    c.frames = 40;
    const synth::PenScene scene(c);
    const auto images = scene.write_frames(path(name + "_frames"), first, frames);
    fs::create_directories(dir_ / name);
    for (int f = 0; f < frames; ++f) {
      std::vector<AnnotatedObject> objects;
      for (const auto& t : scene.truth(first + f)) {
        if (!drop || !drop(f, t.identity)) objects.push_back({(t.identity + shift) % 10 + 1, t.mask});
      }
      write_annotation_file(path(name + "/output_pp_" + std::to_string(f) + ".json"), images[static_cast<std::size_t>(f)],
                            objects);
    }
    return path(name);
  }
};

TEST_F(TracksTableTest, OneRowPerAnimalPerFrameAbsentAnimalsKeepTheirRow) {
  const std::string a = clip("a", 0, 3, [](int f, int id) { return f == 1 && id == 4; });
  std::vector<TrackRow> rows;
  std::vector<std::optional<MaskShape>> shapes;
  const auto notes = for_each_track_row({a}, {}, [&](const TrackRow& r) { rows.push_back(r), shapes.push_back(r.shape); });
  ASSERT_EQ(rows.size(), 30u);
  EXPECT_EQ(rows[10 + 4].identity, "Box4");
  EXPECT_EQ(rows[10 + 4].frame_key, 1);
  EXPECT_FALSE(shapes[10 + 4].has_value());
  EXPECT_TRUE(shapes[10 + 5].has_value());
  EXPECT_EQ(notes, std::vector<std::string>{"times: none for frames outside a `pelk extract` tree (frame keys only)"});

  write_tracks_csv({a}, {}, path("t.csv"));
  std::ifstream in(path("t.csv"));
  std::string header, line;
  std::getline(in, header);
  EXPECT_EQ(header, "clip,frame_key,frame_image,time,identity,present,x_min,y_min,x_max,y_max,centroid_x,centroid_y,"
                    "area,orientation,long_axis,short_axis");
  int count = 0;
  std::string absent;
  while (std::getline(in, line)) {
    ++count;
    if (line.find(",1,") != std::string::npos && line.find(",Box4,") != std::string::npos) absent = line;
  }
  EXPECT_EQ(count, 30);
  EXPECT_NE(absent.find(",Box4,False,,,,,,,,,,"), std::string::npos) << absent;
}

TEST_F(TracksTableTest, ClipsInTheWrongOrderAndOutputsInsideAClipAreRefused) {
  // Frames under an extract tree know their place in the recording.
  synth::SceneConfig c;
  c.frame_size = {200, 240};
  const synth::PenScene scene(c);
  const std::string tree = path("frames/20240405/Camera62_1_20240405070000/");
  const auto early = scene.write_frames(tree + "0min_to_0.1min/right_cropped_frames", 0, 2);
  const auto late = scene.write_frames(tree + "0.1min_to_0.2min/right_cropped_frames", 2, 2);
  for (const auto& [name, images] : {std::pair{"early", early}, std::pair{"late", late}}) {
    fs::create_directories(dir_ / name);
    for (std::size_t f = 0; f < images.size(); ++f) {
      std::vector<AnnotatedObject> objects;
      for (const auto& t : scene.truth(static_cast<int>(f))) objects.push_back({t.identity + 1, t.mask});
      write_annotation_file(path(std::string(name) + "/output_pp_" + std::to_string(f) + ".json"), images[f], objects);
    }
  }
  TracksOptions timed;
  timed.times.fps = 25;
  std::vector<std::optional<FrameTime>> seconds;
  const auto notes = for_each_track_row({path("early"), path("late")}, timed, [&](const TrackRow& r) {
    if (r.identity == "Box0") seconds.push_back(r.time);
  });
  ASSERT_EQ(seconds.size(), 4u);
  EXPECT_NEAR(seconds_between(*seconds[0], *seconds[1]), 0.04, 1e-12);
  EXPECT_NEAR(seconds_between(*seconds[0], *seconds[2]), (151 - 1) / 25.0, 1e-12);  // 0.1 min on: frame 151
  EXPECT_NE(notes.at(0).find("Camera62_1_20240405070000 at 25 fps"), std::string::npos) << notes.at(0);

  // A variable-rate recording: its frames keep their own stamps (frame 151
  // at 9.12 s, not 150 / 25 = 6 s on from frame 1); where the stamps end,
  // the rate is assumed and the note says so.
  TracksOptions stamped = timed;
  stamped.times.recording_files = {{"Camera62_1_20240405070000", "rec.mp4"}};
  std::vector<std::string> read;
  stamped.times.read_frame_times = [&](const std::string& file) {
    read.push_back(file);
    std::vector<double> stamps(152);
    for (std::size_t n = 0; n < stamps.size(); ++n) stamps[n] = n < 100 ? n * 0.04 : 4.0 + (n - 100) * 0.1;
    stamps.resize(153, 9.2);
    return std::optional(stamps);
  };
  seconds.clear();
  const auto stamped_notes = for_each_track_row({path("early"), path("late")}, stamped, [&](const TrackRow& r) {
    if (r.identity == "Box0") seconds.push_back(r.time);
  });
  ASSERT_EQ(seconds.size(), 4u);
  EXPECT_EQ(read, std::vector<std::string>{"rec.mp4"}) << "stamps are read once per recording";
  EXPECT_NEAR(seconds[0]->offset, 0.04, 1e-12);                   // frame 1
  EXPECT_NEAR(seconds[2]->offset, 4.0 + 51 * 0.1, 1e-12);         // frame 151
  EXPECT_NEAR(seconds[3]->offset, 9.2, 1e-12);                    // frame 152
  EXPECT_NE(stamped_notes.at(0).find("each frame's own time stamp for Camera62_1_20240405070000"), std::string::npos)
      << stamped_notes.at(0);
  try {
    for_each_track_row({path("late"), path("early")}, {}, [](const TrackRow&) {});
    FAIL() << "clips in the wrong order were taken";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'" + path("early") + "' starts before the end of the previous clip '" +
                                         path("late") + "'"),
              std::string::npos)
        << e.what();
  }
  EXPECT_THROW(write_tracks_csv({path("early")}, {}, path("early/tracks.csv")), std::invalid_argument);
  // The same folder twice (its frames would count twice), also written another way.
  try {
    for_each_track_row({path("early"), path("late"), path("early") + "/"}, {}, [](const TrackRow&) {});
    FAIL() << "a folder given twice was taken";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'" + path("early") + "/' is given twice (also as '" + path("early") + "')"),
              std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(path("early/tracks.csv")));
}

TEST_F(TracksTableTest, IdentitiesThatChangeBetweenClipsAreKeptAndSaid) {
  const std::string a = clip("a", 0, 2, [](int, int id) { return id == 9; });
  const std::string b = clip("b", 2, 2, [](int, int id) { return id == 3; });
  std::set<std::string> seen_in_b;
  const auto notes = for_each_track_row({a, b}, {}, [&](const TrackRow& r) {
    if (*r.clip == b) seen_in_b.insert(r.identity);
  });
  EXPECT_TRUE(seen_in_b.count("Box9") && !seen_in_b.count("Box3"));
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1], "identities change at '" + b + "': new Box9; not in it Box3 (both sets kept)");
}

TEST_F(TracksTableTest, ClipsNumberedEachTheirOwnWayAreWarnedOf) {
  const std::string a = clip("a", 0, 2);
  const std::string b = clip("b", 2, 2, {}, 3);
  const auto notes = for_each_track_row({a, b}, {}, [](const TrackRow&) {});
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1], "warning: identities do not follow on from '" + a + "' to '" + b +
                          "': 10 of 10 animals that overlap across the boundary carry another key there (clips tracked one "
                          "by one: put them under one set of identities with `pelk chain` first)");
}

}  // namespace
}  // namespace pelk
