// The MOT and CVAT readers on good files and on hostile or broken ones:
// every refusal is one line naming the file (and line), nothing half read.
#include <fstream>

#include <gtest/gtest.h>

#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/interchange/cvat.hpp"
#include "pelk_utils/interchange/mot.hpp"
#include "pelk_utils/quality/tracking_measures.hpp"

namespace pelk {
namespace {

class ReaderTest : public testing::ScratchDirTest {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
};

TEST_F(ReaderTest, MotRowsBecomeBoxesAndTruthIgnoresConfidenceZero) {
  const std::string file = write("t.txt", "1,1,10,20,30,40,1,-1,-1,-1\n1,2,0.5,0,5,5,0,-1,-1,-1\n\n2 1 11 20 30 40 -1\n");
  const ImportedTracks truth = read_mot(file, TrackSide::kTruth);
  EXPECT_EQ(truth.kind, "MOTChallenge text");
  ASSERT_EQ(truth.frames.at(1).size(), 1u);
  EXPECT_EQ(truth.frames.at(1)[0].key, "1");
  EXPECT_EQ(truth.frames.at(1)[0].box, (ContinuousBox{10, 20, 40, 60}));
  EXPECT_EQ(truth.ignored, 1);
  EXPECT_EQ(truth.frames.at(2)[0].box, (ContinuousBox{11, 20, 41, 60}));  // spaces separate too
  const ImportedTracks tracked = read_mot(file, TrackSide::kTracked);
  EXPECT_EQ(tracked.frames.at(1).size(), 2u);  // a tracker's confidence never drops a row
  EXPECT_EQ(tracked.ignored, 0);
}

struct BadFile {
  const char* name;
  std::string text;
  const char* message;  // a fragment of the one-line error
  friend void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }
};

class BadMotTest : public ReaderTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadMotTest, IsRefusedNamingFileAndLine) {
  const std::string file = write("bad.txt", GetParam().text);
  try {
    read_mot(file, TrackSide::kTruth);
    FAIL() << "accepted";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find(file), std::string::npos) << what;
    EXPECT_NE(what.find(GetParam().message), std::string::npos) << what;
    EXPECT_EQ(what.find('\n'), std::string::npos) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadMotTest,
    ::testing::Values(BadFile{"short_row", "1,1,10,20,30,40\n1,2,3\n", "line 2: has 3 fields"},
                      BadFile{"not_a_number", "1,1,ten,20,30,40\n", "left 'ten' is not a finite number"},
                      BadFile{"nan", "1,1,10,20,nan,40\n", "width 'nan' is not a finite number"},
                      BadFile{"fractional_frame", "1.5,1,10,20,30,40\n", "frame '1.5' is not a whole number"},
                      BadFile{"gigantic_frame", "4000000000,1,10,20,30,40\n", "frame 4000000000 is outside"},
                      BadFile{"negative_width", "1,1,10,20,-30,40\n", "width -30 is negative"},
                      BadFile{"gigantic_box", "1,1,10,20,1e12,40\n", "is beyond 10^7"},
                      BadFile{"id_twice", "1,1,10,20,30,40\n1,1,50,20,30,40\n", "line 2: id 1 appears twice in frame 1 (first at line 1)"},
                      BadFile{"empty_field", "1,,10,20,30,40\n", "id '' is not a finite number"}),
    [](const auto& info) { return std::string(info.param.name); });

const char* kCvatHead =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<annotations>\n<version>1.1</version>\n<meta><task>"
    "<original_size><width>100</width><height>80</height></original_size></task></meta>\n";

TEST_F(ReaderTest, CvatTracksGivePolygonsAndBoxesOutsideMeansAbsent) {
  const std::string file = write(
      "t.xml", std::string(kCvatHead) +
                   "<track id=\"0\" label=\"pig\">\n"
                   "<polygon frame=\"0\" outside=\"0\" points=\"1,2;10,2;10,20\"/>\n"
                   "<polygon frame=\"1\" outside=\"1\" points=\"1,2;10,2;10,20\"/>\n"
                   "</track>\n<track id=\"4\" label=\"pig\">\n"
                   "<box frame=\"1\" outside=\"0\" xtl=\"5\" ytl=\"6\" xbr=\"15.5\" ybr=\"16\"/>\n"
                   "<points frame=\"1\" outside=\"0\" points=\"1,1\"/>\n"
                   "</track>\n</annotations>\n");
  const ImportedTracks t = read_cvat(file);
  EXPECT_EQ(t.frame_size, cv::Size(100, 80));
  ASSERT_EQ(t.frames.at(0).size(), 1u);
  EXPECT_EQ(t.frames.at(0)[0].key, "track 0");
  EXPECT_EQ(t.frames.at(0)[0].polygons[0], (std::vector<double>{1, 2, 10, 2, 10, 20}));
  ASSERT_EQ(t.frames.at(1).size(), 1u);
  EXPECT_EQ(t.frames.at(1)[0].key, "track 4");
  EXPECT_EQ(t.frames.at(1)[0].box, (ContinuousBox{5, 6, 15.5, 16}));
  ASSERT_EQ(t.notes.size(), 1u);
  EXPECT_EQ(t.notes[0], "skipped 1 <points> shape (only polygons and boxes are read)");
}

class BadCvatTest : public ReaderTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadCvatTest, IsRefusedInOneLine) {
  const std::string file = write("bad.xml", GetParam().text);
  try {
    read_cvat(file);
    FAIL() << "accepted";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find(file), std::string::npos) << what;
    EXPECT_NE(what.find(GetParam().message), std::string::npos) << what;
    EXPECT_EQ(what.find('\n'), std::string::npos) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, BadCvatTest,
    ::testing::Values(
        BadFile{"billion_laughs",
                "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n <!ENTITY lol \"lol\">\n"
                " <!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n"
                " <!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">\n]>\n"
                "<annotations><track id=\"0\" label=\"&lol3;\"/></annotations>\n",
                "line 2: declares a document type"},
        BadFile{"external_entity",
                "<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
                "<annotations>&x;</annotations>\n",
                "declares a document type"},
        BadFile{"not_well_formed", "<annotations>\n<track id=\"0\">\n</annotations>\n",
                "line 3: not well-formed XML"},
        BadFile{"not_cvat", "<svg></svg>", "has no <annotations> root"},
        BadFile{"images_format", "<annotations><image id=\"0\" name=\"a.jpg\"/></annotations>",
                "it is CVAT for images"},
        BadFile{"bad_points",
                "<annotations><track id=\"0\"><polygon frame=\"0\" outside=\"0\" points=\"1,2;x,4;5,6\"/></track></annotations>",
                "point coordinate 'x' is not a finite number"},
        BadFile{"odd_points",
                "<annotations><track id=\"0\"><polygon frame=\"0\" outside=\"0\" points=\"1,2;3\"/></track></annotations>",
                "odd number of coordinates"},
        BadFile{"negative_box",
                "<annotations><track id=\"0\"><box frame=\"0\" outside=\"0\" xtl=\"5\" ytl=\"5\" xbr=\"1\" ybr=\"9\"/></track></annotations>",
                "negative width or height"},
        BadFile{"gigantic_frame_size",
                "<annotations><meta><task><original_size><width>1000000</width><height>1000000</height>"
                "</original_size></task></meta></annotations>",
                "original_size width 1000000 is not a whole number from 1 to 32768"},
        BadFile{"gigantic_frame_number",
                "<annotations><track id=\"0\"><box frame=\"9000000000\" outside=\"0\" xtl=\"1\" ytl=\"1\" xbr=\"2\" ybr=\"2\"/></track></annotations>",
                "frame 9000000000 is not a whole number from 0"},
        BadFile{"two_shapes_on_a_frame",
                "<annotations><track id=\"3\"><box frame=\"0\" outside=\"0\" xtl=\"1\" ytl=\"1\" xbr=\"2\" ybr=\"2\"/>"
                "<box frame=\"0\" outside=\"0\" xtl=\"1\" ytl=\"1\" xbr=\"2\" ybr=\"2\"/></track></annotations>",
                "track 3 has two shapes on frame 0"},
        BadFile{"utf16_with_bom", std::string("\xFF\xFE<\0a\0n\0", 8), "is UTF-16 (or UTF-32) text"},
        BadFile{"huge_frame_attribute",
                "<annotations><track id=\"0\"><box frame=\"" + std::string(100000, '7') +
                    "x\" outside=\"0\" xtl=\"1\" ytl=\"1\" xbr=\"2\" ybr=\"2\"/></track></annotations>",
                "... (100001 characters)' is not a finite number"},
        BadFile{"polygon_keyframes_apart",
                "<annotations><track id=\"2\"><polygon frame=\"0\" outside=\"0\" points=\"1,1;9,1;9,9\"/>"
                "<polygon frame=\"3\" outside=\"0\" points=\"2,1;9,1;9,9\"/></track></annotations>",
                "track 2 has no shapes on frames 1 to 2 between its polygon keyframes 0 and 3"},
        BadFile{"endless_continuation",
                "<annotations><meta><task><stop_frame>99000000</stop_frame></task></meta><track id=\"0\">"
                "<box frame=\"0\" outside=\"0\" xtl=\"1\" ytl=\"1\" xbr=\"2\" ybr=\"2\"/></track></annotations>",
                "would fill more than 20000000 shapes"}),
    [](const auto& info) { return std::string(info.param.name); });

// Shapes as CVAT shows them from keyframes: boxes move linearly between two
// keyframes, a track not marked outside stays to the task's last frame, and
// an outside shape ends it.
TEST_F(ReaderTest, CvatKeyframesAreFilledInAsCvatShowsThem) {
  const std::string file = write("k.xml",
      "<annotations><meta><task><stop_frame>6</stop_frame></task></meta>"
      "<track id=\"0\"><box frame=\"0\" outside=\"0\" keyframe=\"1\" xtl=\"0\" ytl=\"0\" xbr=\"10\" ybr=\"10\"/>"
      "<box frame=\"4\" outside=\"0\" keyframe=\"1\" xtl=\"8\" ytl=\"4\" xbr=\"18\" ybr=\"14\"/></track>"
      "<track id=\"1\"><box frame=\"1\" outside=\"0\" xtl=\"50\" ytl=\"50\" xbr=\"60\" ybr=\"60\"/>"
      "<box frame=\"3\" outside=\"1\" xtl=\"50\" ytl=\"50\" xbr=\"60\" ybr=\"60\"/></track></annotations>");
  const ImportedTracks t = read_cvat(file);
  const auto box = [&](std::int64_t frame, const std::string& key) -> std::optional<ContinuousBox> {
    if (!t.frames.contains(frame)) return std::nullopt;
    for (const ImportedObject& o : t.frames.at(frame)) {
      if (o.key == key) return o.box;
    }
    return std::nullopt;
  };
  struct Want {
    std::int64_t frame;
    const char* key;
    std::optional<ContinuousBox> box;
  };
  for (const Want& w : {Want{0, "track 0", ContinuousBox{0, 0, 10, 10}}, Want{2, "track 0", ContinuousBox{4, 2, 14, 12}},
                        Want{3, "track 0", ContinuousBox{6, 3, 16, 13}}, Want{6, "track 0", ContinuousBox{8, 4, 18, 14}},
                        Want{2, "track 1", ContinuousBox{50, 50, 60, 60}}, Want{3, "track 1", std::nullopt},
                        Want{6, "track 1", std::nullopt}}) {
    EXPECT_EQ(box(w.frame, w.key), w.box) << w.key << " on frame " << w.frame;
  }
  ASSERT_EQ(t.notes.size(), 2u);
  EXPECT_EQ(t.notes[0], "filled 4 boxes between keyframes by linear interpolation, as CVAT shows them");
  EXPECT_EQ(t.notes[1], "kept 2 shapes after tracks' last keyframes to the task's last frame 6 (a track not marked "
                        "outside goes on in CVAT)");
}

TEST_F(ReaderTest, MissingFilesAreRuntimeErrors) {
  EXPECT_THROW(read_mot(path("none.txt"), TrackSide::kTruth), std::runtime_error);
  EXPECT_THROW(read_cvat(path("none.xml")), std::runtime_error);
}

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

// MOT truth with the benchmark's class column: a tracked box on a
// distractor (class 2, 7, 8, 12) is dropped before counting, as the
// benchmark's preprocessing does, while one on a row of another class (3, a
// car) stays a false positive; -1 in the column (our export) is no class.
TEST_F(ReaderTest, MotDistractorsDropTheTrackedBoxesOnThem) {
  const std::string truth = write("gt.txt",
                                  "1,1,10,10,20,20,1,1,1\n"      // the target class
                                  "1,2,100,10,20,20,1,7,1\n"     // a static person: distractor
                                  "1,3,200,10,20,20,1,3,1\n"     // a car: not a target
                                  "1,4,300,10,20,20,1,-1,-1,-1\n");  // no class: a target
  const std::string tracked = write("t.txt",
                                    "1,11,10,10,20,20,1,-1,-1,-1\n1,12,101,10,20,20,1,-1,-1,-1\n"
                                    "1,13,200,10,20,20,1,-1,-1,-1\n1,14,300,10,20,20,1,-1,-1,-1\n");
  const ImportedTracks gt = read_mot(truth, TrackSide::kTruth);
  ASSERT_EQ(gt.frames.at(1).size(), 2u);
  ASSERT_EQ(gt.notes.size(), 2u);
  const TrackingMeasures m = evaluate_tracks(track_set_of(read_mot(tracked, TrackSide::kTracked)), track_set_of(gt));
  EXPECT_EQ(m.on_distractors, 1);
  EXPECT_EQ(m.matches, 2);
  EXPECT_EQ(m.false_positives, 1) << "the box on the car";
  EXPECT_EQ(m.misses, 0);
}

}  // namespace
}  // namespace pelk
