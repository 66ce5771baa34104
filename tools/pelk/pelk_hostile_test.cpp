// Inputs a careful user makes to break `pelk`: each must end in the sound
// answer (a refusal naming what was wrong, exit 2 for a command-line
// mistake, 1 for bad data), with nothing lost or half-written, or in the
// right result where the command used to misstate it.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "testing/cli_fixture.hpp"

namespace pelk {
namespace {

// Every file under `root` (relative path -> content).
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = testing::slurp(e.path());
  }
  return files;
}

class PelkHostileTest : public PelkCliTest {
 protected:
  // Two squares in a 120 x 40 frame; the second lies on the first in frames
  // 4..7 and the tracker exchanged their identities after it.
  void make_swapped_clip() {
    const cv::Size size(120, 40);
    cv::Mat3b image(size);
    cv::theRNG().state = 7;
    cv::randu(image, 0, 255);
    cv::imwrite(path("frame.png"), image);
    const auto square = [&](int x) { return Mask(size, cv::Rect(x, 15, 12, 12), cv::Mat1b(12, 12, uchar{1})); };
    fs::create_directories(path("tracked"));
    for (int f = 0; f < 12; ++f) {
      const int b = f >= 4 && f <= 7 ? 10 : 80;
      const bool swapped = f > 7;
      write_annotation_file(path("tracked/output_pp_" + std::to_string(f) + ".json"), path("frame.png"),
                            {{1, square(swapped ? b : 10)}, {2, square(swapped ? 10 : b)}});
    }
  }

  // A recording of `frames` frames of `size` with an orange marker at `marker`.
  void record(const std::string& name, cv::Rect marker, int frames = 8) {
    const cv::Size size(320, 180);
    cv::Mat3b frame(size, cv::Vec3b(60, 90, 60));
    frame(marker).setTo(cv::Scalar(0, 128, 255));
    fs::create_directories(path("rec/cam61"));
    cv::VideoWriter w(path("rec/cam61/" + name), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 25, size);
    ASSERT_TRUE(w.isOpened());
    for (int i = 0; i < frames; ++i) w.write(frame);
  }
};

TEST_F(PelkHostileTest, UndoWithDryRunChangesNothingAndUndoWithApplyIsAMistake) {
  make_swapped_clip();
  ASSERT_EQ(run("repair " + path("tracked")).code, 0);
  const auto repaired = snapshot(path("tracked"));
  std::ofstream(path("corrections.json")) << "{}";

  CliRun r = run("repair " + path("tracked") + " --undo --dry-run");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("would undo the repair (exchanged Box0 and Box1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("4 annotation files of " + path("tracked") + " restored as they were (nothing written)"),
            std::string::npos) << r.out;
  EXPECT_EQ(snapshot(path("tracked")), repaired) << "a dry run wrote";

  r = run("repair " + path("tracked") + " --undo --apply " + path("corrections.json"));
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("--undo"), std::string::npos) << r.err;
  EXPECT_EQ(snapshot(path("tracked")), repaired);

  ASSERT_EQ(run("repair " + path("tracked") + " --undo").code, 0);
  r = run("repair " + path("tracked") + " --undo --dry-run");
  EXPECT_NE(r.out.find("nothing to undo"), std::string::npos) << r.out;
}

TEST_F(PelkHostileTest, CleanRefusesAPenOffTheFramesAndCountsEveryEmptiedMask) {
  make_clip(3);
  const auto before = snapshot(path("ann"));
  std::ofstream(path("far.json")) << R"({"shapes": [{"points": [[5000, 5000], [6000, 5000], [6000, 6000]]}]})";
  CliRun r = run("clean " + path("ann") + " --pen " + path("far.json"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("lies wholly outside the 590 x 720 frames"), std::string::npos) << r.err;
  EXPECT_EQ(snapshot(path("ann")), before) << "a refused pen emptied masks";

  // A pen over the left third: animals to its right lose every pixel.
  std::ofstream(path("left.json")) << R"({"shapes": [{"points": [[0, 0], [200, 0], [200, 720], [0, 720]]}]})";
  r = run("clean " + path("ann") + " --pen " + path("left.json") + " --out " + path("clean"));
  ASSERT_EQ(r.code, 0) << r.err;
  std::size_t emptied = 0;
  for (int f = 0; f < 3; ++f) {
    const auto doc = nlohmann::json::parse(testing::slurp(path("clean/output_pp_" + std::to_string(f) + ".json")));
    for (const auto& d : doc["detections"]) emptied += d["formatted_polygon"].empty();
  }
  ASSERT_GT(emptied, 0u);
  EXPECT_NE(r.out.find(", " + std::to_string(emptied) + " emptied;"), std::string::npos) << r.out;
}

TEST_F(PelkHostileTest, ShardedExtractionEqualsOneRunFileForFile) {
  // The camera's second recording shows its marker elsewhere: only the
  // first recording's crop may be used, whichever shard cuts the second.
  record("Camera61_1_20240405070000.mp4", {96, 0, 32, 180});
  record("Camera61_1_20240405080000.mp4", {208, 0, 32, 180});
  const std::string catalogue = "extract " + path("rec") + " --sub-dir cam61 --every 0";
  ASSERT_EQ(run(catalogue + " --out " + path("one")).code, 0);
  for (const char* shard : {"1/2", "0/2"}) {
    const CliRun r = run(catalogue + " --out " + path("sharded") + " --shard " + shard);
    ASSERT_EQ(r.code, 0) << r.err;
  }
  const auto one = snapshot(path("one"));
  EXPECT_EQ(one.size(), 2u * 7u);
  EXPECT_EQ(snapshot(path("sharded")), one);
}

TEST_F(PelkHostileTest, AnIdentityTwiceInAFrameIsAnErrorInEveryReader) {
  make_clip(2);
  auto doc = nlohmann::json::parse(testing::slurp(path("ann/output_pp_1.json")));
  doc["detections"][4]["object_id"] = 3;
  std::ofstream(path("ann/output_pp_1.json")) << doc.dump();
  for (const std::string& command : {"tracks " + path("ann") + " --out " + path("t.csv"), "report " + path("ann"),
                                     "export " + path("ann") + " --format mot --out " + path("t.txt"),
                                     "clean " + path("ann") + " --pen " + path("pen.json")}) {
    const CliRun r = run(command);
    EXPECT_EQ(r.code, 1) << command << "\n" << r.err;
    EXPECT_NE(r.err.find("output_pp_1.json'"), std::string::npos) << command << "\n" << r.err;
    EXPECT_NE(r.err.find("\"object_id\" 3 appears twice (detections 2 and 4)"), std::string::npos) << command << "\n"
                                                                                                   << r.err;
  }
  EXPECT_FALSE(fs::exists(path("t.csv")));
}

// The smaller answers of the command line: each one line, exit 2 for a
// mistake on the command line, 1 for bad data, nothing done.
struct AnswerCase {
  const char* name;
  std::string args;
  int code;
  const char* says;
  std::string env = "";
  friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name << ": pelk " << c.args; }
};

class PelkAnswerTest : public PelkHostileTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(PelkAnswerTest, OneLineWithTheRightExitCode) {
  make_clip(2);
  fs::create_directories(path("rec/cam61"));
  fs::create_directories(path("folder_entry/output_pp_5.json"));
  fs::copy_file(path("ann/output_pp_0.json"), path("folder_entry/output_pp_0.json"));
  const std::string args = in_scratch(GetParam().args);
  const CliRun r = run(args, GetParam().env);
  EXPECT_EQ(r.code, GetParam().code) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find(GetParam().says), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "") << "nothing is done";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PelkAnswerTest,
    ::testing::Values(
        AnswerCase{"from_am", "catalog @rec --sub-dir cam61 --from 7am", 2, "--from: '7am' is not a time of day"},
        AnswerCase{"from_hour_25", "catalog @rec --sub-dir cam61 --from 25:00:00", 2, "'25:00:00' is not a time of day"},
        AnswerCase{"camera_word", "catalog @rec --sub-dir cam61 --camera abc", 2, "--camera: 'abc' is not a camera number"},
        AnswerCase{"every_negative", "catalog @rec --sub-dir cam61 --every -2", 2, "--every"},
        AnswerCase{"shard_suffix", "shard a b --shard 1/2x", 2, "error: --shard 1/2x: '2x' is not a whole number"},
        AnswerCase{"shard_task_without_count", "shard a b", 1, "SLURM_ARRAY_TASK_COUNT is not",
                   "env -u SLURM_ARRAY_TASK_COUNT -u SLURM_ARRAY_TASK_MIN -u SLURM_ARRAY_TASK_MAX SLURM_ARRAY_TASK_ID=1"},
        AnswerCase{"eps_negative", "cluster @ann/output_pp_0.json --eps -5", 2, "--eps: '-5' is not a number above 0"},
        AnswerCase{"px_per_metre_zero", "behaviour @ann --out @b --px-per-metre 0", 2,
                   "--px-per-metre: '0' is not a number above 0"},
        AnswerCase{"bin_zero", "behaviour @ann --out @b --bin 0m", 2, "--bin: '0m' is not a length above 0"},
        AnswerCase{"pen_without_size", "behaviour @ann --out @b --pen @pen.json", 2,
                   "--pen: gives the scale only with --pen-size"},
        AnswerCase{"same_clip_twice", "tracks @ann @ann --out @t.csv", 1, "is given twice"},
        AnswerCase{"render_unknown_key", "render @ann/output_pp_0.json --out @r.png --ids Box0,Box42", 2,
                   "--ids: Box42 (object id 43) is not in"},
        AnswerCase{"folder_named_as_a_file", "report @folder_entry", 1, "output_pp_5.json' is a folder, not a file"}),
    [](const auto& info) { return std::string(info.param.name); });

// A bin in time without frame times is counted in frames at the assumed
// rate, and said so: never one bin of every frame.
TEST_F(PelkHostileTest, ABinInTimeWithoutARateIsSaidAndCountedInFrames) {
  make_clip(3);
  const CliRun r = run("behaviour " + path("ann") + " --out " + path("b") + " --bin 0.2s");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("--bin 0.2s without --fps or --videos: bins of 2 frames, at an assumed 10 frames per second"),
            std::string::npos) << r.err;
  const std::string table = testing::slurp(path("b/behaviour.csv"));
  EXPECT_NE(table.find("\n2,4,Box0,"), std::string::npos) << table.substr(0, 400);
}

// A folder imported with a relative frames folder names its images by
// absolute paths: it reads from any working folder.
TEST_F(PelkHostileTest, AnImportedFolderReadsFromAnyWorkingFolder) {
  make_clip(2);
  ASSERT_EQ(run("export " + path("ann") + " --format cvat --out " + path("truth.xml")).code, 0);
  CliRun r = pelk("import truth.xml --frames frames --out imported", dir_, "cd " + dir_.string() + " &&");
  ASSERT_EQ(r.code, 0) << r.err;
  const auto doc = nlohmann::json::parse(testing::slurp(path("imported/output_pp_0.json")));
  EXPECT_EQ(doc["image_path"], path("frames/0000.jpg"));
  r = pelk("report " + path("imported"), dir_, "cd / &&");
  EXPECT_EQ(r.code, 0) << r.err;
}

// A value of megabytes in a file (here a CVAT identity) is quoted cut in a
// one-line error, never echoed whole.
TEST_F(PelkHostileTest, AHugeValueIsQuotedCutInTheError) {
  make_clip(1);
  const std::string huge(200000, 'x');
  std::ofstream(path("big.xml")) << R"(<?xml version="1.0"?><annotations><version>1.1</version><meta><task><original_size>)"
                                 << R"(<width>590</width><height>720</height></original_size></task></meta>)"
                                 << R"(<track id="0" label="pig"><box frame="0" outside="0" xtl="10" ytl="10" xbr="50" ybr="50">)"
                                 << R"(<attribute name="identity">)" << huge << "</attribute></box></track></annotations>\n";
  const CliRun r = run("import " + path("big.xml") + " --frames " + path("frames") + " --out " + path("imported"));
  EXPECT_EQ(r.code, 1);
  EXPECT_LT(r.err.size(), 1000u) << r.err.size();
  EXPECT_NE(r.err.find("... (200000 characters)' is neither Box<n> nor a numbered track"), std::string::npos) << r.err.substr(0, 300);
}

TEST_F(PelkHostileTest, CatalogNamesWhatItLeavesOutAndReadsShortTimes) {
  fs::create_directories(path("rec/cam61"));
  for (const char* name : {"Camera61_1_20240405070000.mp4", "Camera61_1_20240405080000.MP4", "Camera61_1_20241305070000.mp4"}) {
    std::ofstream(path(std::string("rec/cam61/") + name)) << "x";
  }
  CliRun r = run("catalog " + path("rec") + " --sub-dir cam61 --every 0 --from 6:30");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\n1 recording\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("left out 2 files whose names are not recordings"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cam61/Camera61_1_20240405080000.MP4, cam61/Camera61_1_20241305070000.mp4"), std::string::npos) << r.err;
  // 07:00 is 07:00:00, not the text "07:00" (which sorts before "07:00:00").
  r = run("catalog " + path("rec") + " --sub-dir cam61 --every 0 --from 07:00");
  EXPECT_NE(r.out.find("\n0 recordings\n"), std::string::npos) << r.out;
}

TEST_F(PelkHostileTest, FixPolygonsWritesAllOrNothingAndOnlyOnce) {
  make_clip(3);
  std::vector<std::string> files;
  for (int f = 0; f < 3; ++f) files.push_back(path("ann/output_pp_" + std::to_string(f) + ".json"));
  std::string list;
  for (const std::string& f : files) list += " " + f;
  // The third file names an image that cannot be read: nothing is written.
  auto doc = nlohmann::json::parse(testing::slurp(files[2]));
  doc["image_path"] = path("missing.jpg");
  std::ofstream(files[2]) << doc.dump();
  const auto before = snapshot(path("ann"));
  CliRun r = run("fix-polygons" + list);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("1 file of 3 cannot be repaired (named above); nothing written"), std::string::npos) << r.err;
  EXPECT_EQ(snapshot(path("ann")), before);

  std::ofstream(files[2]) << before.at("output_pp_0.json");  // now a copy of a good file
  r = run("fix-polygons" + list);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("repaired " + files[1] + "\n"), std::string::npos) << r.out;
  const auto once = snapshot(path("ann"));
  r = run("fix-polygons " + files[1]);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("repaired by an earlier fix-polygons already"), std::string::npos) << r.err;
  EXPECT_EQ(snapshot(path("ann")), once);
}

TEST_F(PelkHostileTest, TheExtractLogNamesTheRecordingsFrameNumbers) {
  record("Camera61_1_20240405070000.mp4", {96, 0, 32, 180});
  const CliRun r = run("extract " + path("rec") + " --sub-dir cam61 --every 0 --out " + path("frames") + " --verbose");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Processing frame 1 (saved as 0000.jpg)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Processing frame 7 (saved as 0006.jpg)\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Processing frame 0 "), std::string::npos) << r.out;
}

}  // namespace
}  // namespace pelk
