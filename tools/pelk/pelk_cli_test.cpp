// The `pelk` program end to end: each subcommand's happy path, its exit code
// and one-line message on bad input, and the demo at a reduced size.
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/synth/pen_scene.hpp"
#include "testing/cli_fixture.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;

// The light program (--version, catalog, shard, extract) must not load
// libtorch or OpenCV's image codecs: in a job array of short recordings
// their start-up would be paid on every task.
TEST_F(PelkCliTest, TheLightProgramLinksNeitherLibtorchNorImageCodecs) {
  FILE* pipe = ::popen(("readelf -d " + std::string(PELK_BINARY) + " 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string needed;
  std::array<char, 4096> buf{};
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0;) needed.append(buf.data(), n);
  ASSERT_EQ(::pclose(pipe), 0) << needed;
  ASSERT_NE(needed.find("(NEEDED)"), std::string::npos) << needed;
  for (const char* heavy : {"libtorch", "libc10", "libopencv_imgcodecs", "libopencv_videoio", "libgeos"}) {
    EXPECT_EQ(needed.find(heavy), std::string::npos) << heavy << " in\n" << needed;
  }
  EXPECT_NE(needed.find("libavcodec"), std::string::npos) << "extract decodes in it";
}

TEST_F(PelkCliTest, VersionAndHelpForEverySubcommand) {
  EXPECT_EQ(run("--version").out, "pelk 0.1.0\n");
  for (const char* sub : {"catalog", "extract", "init", "track", "report", "match", "clean", "render", "fix-polygons",
                          "heatmap", "cluster", "motion", "review", "demo", "shard", "evaluate", "import", "tracks", "export", "behaviour", "repair"}) {
    const CliRun r = run(std::string(sub) + " --help");
    EXPECT_EQ(r.code, 0) << sub;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << sub << ": " << r.out;
  }
  const CliRun none = run("");
  EXPECT_NE(none.code, 0);
}

struct BadInputCase {
  const char* name;
  std::string args;
  const char* message_part;
  friend void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.name << ": pelk " << c.args; }
};

class PelkBadInputTest : public PelkCliTest, public ::testing::WithParamInterface<BadInputCase> {};

TEST_P(PelkBadInputTest, OneLineOnStandardErrorAndAFailingExitCode) {
  make_clip(2);
  std::ofstream(path("broken.json")) << "{\"image_path\": ";
  std::ofstream(path("no_image.json")) << R"({"image_path": "/nonexistent.png", "detections": []})";
  // A clip whose first animal carries an identity beyond the cleaning pass's range.
  nlohmann::json huge = nlohmann::json::parse(testing::slurp(path("ann/output_pp_0.json")));
  huge["detections"][0]["object_id"] = 3000000000LL;
  fs::create_directories(path("huge"));
  std::ofstream(path("huge/output_pp_0.json")) << huge.dump();
  fs::create_directories(path("rec/cam62"));
  std::ofstream(path("rec/cam62/Camera62_1_20240405070000.mp4")) << "not a video";
  const std::string args = in_scratch(GetParam().args);
  const CliRun r = run(args);
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find(GetParam().message_part), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("terminate called"), std::string::npos) << r.err;
  if (r.err.rfind("pelk: error: ", 0) == 0) {
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PelkBadInputTest,
    ::testing::Values(
        BadInputCase{"unknown_subcommand", "frobnicate", "pelk: error: unknown command 'frobnicate'"},
        BadInputCase{"demo_too_short", "demo --frames 5 --out @d", "--frames must be at least 40"},
        BadInputCase{"missing_argument", "render", "file is required"},
        BadInputCase{"missing_file", "render @none.json --out @x.png", "File does not exist"},
        BadInputCase{"malformed_json", "heatmap @broken.json --out @h.png", "broken.json' is not valid JSON"},
        BadInputCase{"unreadable_image", "render @no_image.json --out @x.png", "cannot read image '/nonexistent.png'"},
        BadInputCase{"unopenable_recording", "extract @rec --sub-dir cam62 --out @fr",
                     "1 of 1 recording could not be opened (the lines above name them; 0 ranges written)"},
        BadInputCase{"bad_shard", "report @ann --shard 3/2", "--shard 3/2 gives shard 3 of 2"},
        BadInputCase{"not_a_number", "cluster @ann/output_pp_0.json --eps lots", "eps"},
        BadInputCase{"empty_frame_folder", "track @ann --out @t --pen @pen.json", "holds no .jpg or .png frames"},
        BadInputCase{"no_annotations", "report @frames", "no annotation files"},
        BadInputCase{"box_beyond_cleaning", "clean @huge --pen @pen.json --out @c", "box 'Box2999999999' of frame 0"},
        BadInputCase{"bad_device", "match @ann @frames --out @m --segmenter-encoder @pen.json --segmenter-decoder @pen.json --device gpu", "device 'gpu'"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every kind of command-line mistake, on every command: one line
// "pelk: error: ..." naming the option or argument, and exit code 2 (errors
// of the work itself stay 1).
struct MistakeCase {
  const char* name;
  std::string args;
  const char* names;  // what the line must name
  friend void PrintTo(const MistakeCase& c, std::ostream* os) { *os << c.name << ": pelk " << c.args; }
};

class PelkMistakeTest : public PelkCliTest, public ::testing::WithParamInterface<MistakeCase> {};

TEST_P(PelkMistakeTest, OneLineNamingTheOptionAndExitCode2) {
  fs::create_directories(dir_ / "d");
  std::ofstream(path("f.json")) << "{}";
  const std::string args = in_scratch(GetParam().args);
  const CliRun r = run(args);
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_EQ(r.err.rfind("pelk: error: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find(GetParam().names), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "") << "nothing is done on a mistake";
}

INSTANTIATE_TEST_SUITE_P(
    EveryCommand, PelkMistakeTest,
    ::testing::Values(
        MistakeCase{"catalog_unknown", "catalog @ --sub-dir d --frm 06:00:00", "'--frm'"},
        MistakeCase{"catalog_missing", "catalog --sub-dir d", "base_dir"},
        MistakeCase{"catalog_no_folder", "catalog @nope --sub-dir d", "base_dir"},
        MistakeCase{"catalog_no_sub_folder", "catalog @ --sub-dir nope", "--sub-dir"},
        MistakeCase{"catalog_not_a_number", "catalog @ --sub-dir d --every three", "--every"},
        MistakeCase{"extract_unknown", "extract @ --sub-dir d --time-stp 0.1", "did you mean '--time-step'"},
        MistakeCase{"extract_missing", "extract", "base_dir"},
        MistakeCase{"extract_no_sub_folder", "extract @ --sub-dir nope", "--sub-dir"},
        MistakeCase{"extract_not_a_number", "extract @ --sub-dir d --time-step soon", "--time-step"},
        MistakeCase{"init_unknown", "init @d --out @o --pne @f.json", "'--pne'"},
        MistakeCase{"init_missing", "init --out @o", "frames_dir"},
        MistakeCase{"init_no_folder", "init @nope --out @o", "frames_dir"},
        MistakeCase{"init_not_a_number", "init @d --out @o --step ten", "--step"},
        MistakeCase{"track_unknown", "track @d --out @o --animal 10", "did you mean '--animals'"},
        MistakeCase{"track_no_folder", "track @nope --out @o", "frames_dir"},
        MistakeCase{"report_unknown", "report @d --threshhold 80", "did you mean '--threshold'"},
        MistakeCase{"report_missing", "report", "clips"},
        MistakeCase{"report_no_folder", "report @nope", "clips"},
        MistakeCase{"report_not_a_number", "report @d --threshold high", "--threshold"},
        MistakeCase{"match_missing", "match @d", "frames_dir"},
        MistakeCase{"match_no_folder", "match @d @nope --out @o", "frames_dir"},
        MistakeCase{"match_not_a_number", "match @d @d --out @o --frame first", "--frame"},
        MistakeCase{"clean_unknown", "clean @d --pen @f.json --dry-run", "'--dry-run'"},
        MistakeCase{"clean_no_folder", "clean @nope --pen @f.json", "clip"},
        MistakeCase{"render_missing", "render --out @x.png", "file"},
        MistakeCase{"render_bad_id", "render @f.json --out @x.png --ids cow", "--ids"},
        MistakeCase{"render_id_zero", "render @f.json --out @x.png --ids 0", "--ids"},
        MistakeCase{"fix_polygons_missing", "fix-polygons", "files"},
        MistakeCase{"heatmap_unknown", "heatmap @f.json --out @h.png --scale 2", "'--scale'"},
        MistakeCase{"cluster_not_a_number", "cluster @f.json --eps lots", "--eps"},
        MistakeCase{"motion_missing", "motion --masks @f.json", "frames"},
        MistakeCase{"review_no_folder", "review @nope", "clip"},
        MistakeCase{"review_not_a_number", "review @d --max-flagged many", "--max-flagged"},
        MistakeCase{"demo_not_a_number", "demo --frames lots", "--frames"},
        MistakeCase{"shard_unknown", "shard a b --shards 0/2", "did you mean '--shard'"},
        MistakeCase{"evaluate_no_folder", "evaluate @nope @d", "tracked"},
        MistakeCase{"evaluate_out_of_range", "evaluate @d @d --iou 2", "--iou"},
        MistakeCase{"tracks_missing", "tracks --out @t.csv", "clips"},
        MistakeCase{"tracks_not_a_rate", "tracks @d --out @t.csv --fps nan", "--fps"},
        MistakeCase{"export_no_folder", "export @nope --format mot --out @t.txt", "clips"},
        MistakeCase{"export_unknown_format", "export @d --format csv --out @t.txt", "--format"},
        MistakeCase{"repair_unknown", "repair @d --dryrun", "did you mean '--dry-run'"},
        MistakeCase{"repair_no_folder", "repair @nope --undo", "clip"},
        MistakeCase{"repair_not_a_number", "repair @d --margin wide", "--margin"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PelkCliTest, ReviewCommandsOnAnAnnotatedClip) {
  make_clip(3);
  const std::string first = path("ann/output_pp_0.json");
  CliRun r = run("render " + first + " --out " + path("r.png") + " --boxes --ids 1,2");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(path("r.png")));
  // Box keys name the same animals as the file's object ids (colours are
  // random; the pixels drawn on are the same).
  r = run("render " + first + " --out " + path("keys.png") + " --ids Box0,Box1");
  EXPECT_EQ(r.code, 0) << r.err;
  r = run("render " + first + " --out " + path("numbers.png") + " --ids 1,2");
  EXPECT_EQ(r.code, 0) << r.err;
  r = run("render " + first + " --out " + path("others.png") + " --ids 2,3");
  EXPECT_EQ(r.code, 0) << r.err;
  const cv::Mat frame = cv::imread(frame_paths_[0], cv::IMREAD_COLOR);
  const auto drawn_on = [&](const std::string& name) {
    cv::Mat bgr;
    cv::cvtColor(cv::imread(path(name), cv::IMREAD_UNCHANGED), bgr, cv::COLOR_BGRA2BGR);
    cv::Mat diff, grey;
    cv::absdiff(bgr, frame, diff);
    cv::cvtColor(diff, grey, cv::COLOR_BGR2GRAY);
    return cv::Mat(grey > 0);
  };
  // A random colour may match the frame at a few pixels; the shapes agree.
  const double drawn = cv::countNonZero(drawn_on("numbers.png"));
  EXPECT_LT(cv::countNonZero(drawn_on("keys.png") != drawn_on("numbers.png")), 0.01 * drawn);
  EXPECT_GT(cv::countNonZero(drawn_on("keys.png") != drawn_on("others.png")), 0.2 * drawn);
  r = run("heatmap " + first + " --out " + path("h.png"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("10 masks, largest overlap 0"), std::string::npos) << r.out;
  r = run("cluster " + first + " --eps 1000");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Noise:\nCluster 0: Box0"), std::string::npos) << r.out;
  r = run("motion " + frame_paths_[0] + " " + frame_paths_[1] + " --masks " + first);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Box9 "), std::string::npos) << r.out;
  r = run("report " + path("ann"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("3 frames, 0 frames with overlapping masks"), std::string::npos) << r.out;
  r = run("clean " + path("ann") + " --pen " + path("pen.json") + " --out " + path("clean"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(path("clean/output_pp_2.json")));
  r = run("fix-polygons " + first + " --out-dir " + path("fixed"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(path("fixed/output_pp_0.json")));
}

TEST_F(PelkCliTest, InitTrackAndMatchWithTheBuiltInModels) {
  make_clip(4);
  CliRun r = run("track " + path("frames") + " --out " + path("tracked") + " --pen " + path("pen.json"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("tracked 10 animals over 4 frames"), std::string::npos) << r.out;
  r = run("match " + path("tracked") + " " + path("frames") + " --out " + path("next") + " --frame 3");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("carried 10 identities"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(path("next/output_pp_3.json")));
  r = run("init " + path("frames") + " --out " + path("init") + " --pen " + path("pen.json"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(path("init/initial_frame.png")));
}

// Tracking from a frame whose identities are known (the day's, as `pelk
// match` carries them in): every file keeps the start file's object ids, on
// the same animals, forward to the last frame and back to the first; an
// animal out of view on that frame keeps its id with --animals.
TEST_F(PelkCliTest, TrackFromAFileKeepsItsIdentitiesBothWays) {
  make_clip(4);
  const auto start = nlohmann::json::parse(testing::slurp(path("ann/output_pp_2.json")));
  nlohmann::json day = start;
  for (auto& d : day["detections"]) d["object_id"] = 31 - d["object_id"].get<int>();  // ids 21..30, reversed
  std::ofstream(path("day.json")) << day.dump();
  CliRun r = run("track " + path("frames") + " --out " + path("from") + " --from " + path("day.json"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("tracked 10 animals (10 in view on frame 2, ids from " + path("day.json") + ") over 4 frames"),
            std::string::npos) << r.out;
  for (int f = 0; f < 4; ++f) {
    const auto got = nlohmann::json::parse(testing::slurp(path("from/output_pp_" + std::to_string(f) + ".json")));
    const auto truth = nlohmann::json::parse(testing::slurp(path("ann/output_pp_" + std::to_string(f) + ".json")));
    ASSERT_EQ(got["detections"].size(), 10u) << "frame " << f;
    for (const auto& d : got["detections"]) {
      const int id = d["object_id"].get<int>();
      ASSERT_GE(id, 21);
      ASSERT_LE(id, 30);
      // The animal under day id 31 - k is truth's object k: their boxes agree.
      const auto& want = truth["detections"][static_cast<std::size_t>(31 - id - 1)]["xyxy"][0];
      const auto& have = d["xyxy"][0];
      for (int i = 0; i < 4; ++i) EXPECT_NEAR(have[i].get<double>(), want[i].get<double>(), 12.0) << "frame " << f << " id " << id;
    }
  }
  // Box4 (object id 5) out of view on the start frame: with --animals 10 it keeps id 5.
  nlohmann::json missing = start;
  missing["detections"].erase(4);
  std::ofstream(path("missing.json")) << missing.dump();
  r = run("track " + path("frames") + " --out " + path("from9") + " --from " + path("missing.json") + " --animals 10");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("tracked 10 animals (9 in view on frame 2"), std::string::npos) << r.out;
  const std::string last = testing::slurp(path("from9/output_pp_3.json"));
  EXPECT_NE(last.find("\"object_id\": 5"), std::string::npos) << last;
  // A file of another clip's frame is refused, naming it.
  std::ofstream(path("other.json")) << R"({"image_path": "/elsewhere/0001.jpg", "detections": []})";
  r = run("track " + path("frames") + " --out " + path("x") + " --from " + path("other.json"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("which is not one of the clip's frames"), std::string::npos) << r.err;
}

// Clips a hostile user hands in: a frame with no masks, every box removed,
// more than ten animals (one with an identity beyond 32 bits), a folder name
// that is not UTF-8. Each runs to a clean result instead of crashing.
TEST_F(PelkCliTest, HostileClipsRunToACleanResult) {
  make_clip(2);
  std::ofstream(path("empty.json")) << R"({"image_path": ")" << frame_paths_[0] << R"(", "detections": []})";
  CliRun r = run("heatmap " + path("empty.json") + " --out " + path("h.png"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("0 masks, largest overlap 0"), std::string::npos) << r.out;

  std::string remove_all;
  for (int i = 0; i < 10; ++i) remove_all += " --remove Box" + std::to_string(i);
  r = run("match " + path("ann") + " " + path("frames") + " --out " + path("none") + remove_all);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("carried 0 identities"), std::string::npos) << r.out;

  // Eleven animals: the first is split into a left half (identity 12) and a
  // right half with a 12 px gap (an identity beyond 32 bits): two separate masks.
  synth::SceneConfig c;
  c.frame_size = {590, 720};
  const synth::PenScene scene(c);
  fs::create_directories(path("ann11"));
  for (int f = 0; f < 2; ++f) {
    std::vector<AnnotatedObject> objects;
    for (const auto& t : scene.truth(f)) objects.push_back({t.identity + 1, t.mask});
    const Mask whole = objects[0].mask;
    const cv::Rect b = whole.bounds();
    const int half = b.width / 2;
    objects[0] = {12, Mask(whole.size(), {b.x, b.y, half, b.height}, whole.roi()(cv::Rect(0, 0, half, b.height)))};
    objects.push_back({4294967297LL, Mask(whole.size(), {b.x + half + 12, b.y, b.width - half - 12, b.height},
                                          whole.roi()(cv::Rect(half + 12, 0, b.width - half - 12, b.height)))});
    write_annotation_file(path("ann11/output_pp_" + std::to_string(f) + ".json"),
                          frame_paths_[static_cast<std::size_t>(f)], objects);
  }
  r = run("match " + path("ann11") + " " + path("frames") + " --out " + path("next11") + " --frame 1");
  EXPECT_EQ(r.err.find("basic_string"), std::string::npos) << r.err;
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("carried 11 identities"), std::string::npos) << r.out;
  const std::string written = testing::slurp(path("next11/output_pp_1.json"));
  EXPECT_NE(written.find("\"object_id\": 4294967297"), std::string::npos);
  EXPECT_NE(written.find("\"object_id\": 12"), std::string::npos);

  const fs::path odd = dir_ / "clip\xff\xfe";
  fs::create_directories(odd);
  for (const auto& e : fs::directory_iterator(path("ann"))) fs::copy_file(e.path(), odd / e.path().filename());
  r = run("review '" + odd.string() + "' --out " + path("review"));
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string data = testing::slurp(path("review/data.js"));
  EXPECT_NE(data.find("clip\\ufffd\\ufffd"), std::string::npos) << data.substr(0, 200);
}

// Evaluation against truth: the truth itself scores 100 %; a copy with two
// identities exchanged from frame 2 on shows the two switches.
TEST_F(PelkCliTest, EvaluateScoresTruthAndFindsASwap) {
  make_clip(4);
  CliRun r = run("evaluate " + path("ann") + " " + path("ann") + " --csv " + path("ids.csv"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("HOTA 100.0% (DetA 100.0%, AssA 100.0%, LocA 100.0%), IDF1 100.0% (IDP 100.0%, IDR 100.0%), "
                        "MOTA 100.0%, 0 identity switches, 0 misses, 0 false positives, MOTP (mean mask IoU) 1.000", 0),
            0u)
      << r.out;
  EXPECT_NE(testing::slurp(path("ids.csv")).find("Truth Box,Frames,Frames Tracked,Tracked As"), std::string::npos);
  fs::create_directories(path("swapped"));
  for (int f = 0; f < 4; ++f) {
    nlohmann::json doc = nlohmann::json::parse(testing::slurp(path("ann/output_pp_" + std::to_string(f) + ".json")));
    if (f >= 2) {
      for (auto& d : doc["detections"]) {
        if (d["object_id"] == 1 || d["object_id"] == 2) d["object_id"] = 3 - d["object_id"].get<int>();
      }
    }
    std::ofstream(path("swapped/output_pp_" + std::to_string(f) + ".json")) << doc.dump();
  }
  r = run("evaluate " + path("swapped") + " " + path("ann"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("MOTA 95.0%, 2 identity switches"), std::string::npos) << r.out;  // 1 - 2/40
  // The exchange is named with the frame at which it shows.
  EXPECT_NE(r.out.find("  Box0: identity changed at frame 2 (Box0 -> Box1); IDF1 pairs it with Box"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(", 2 of 4 frames under another key (mostly Box"), std::string::npos) << r.out;
  EXPECT_NE(testing::slurp(path("ids.csv")).find("Frames Under Matched Identity"), std::string::npos);
  // A frame the tracker wrote nothing for: its 10 animals are misses, and
  // the per-identity table adds up to the summary. --strict refuses.
  fs::remove(path("swapped/output_pp_3.json"));
  r = run("evaluate " + path("swapped") + " " + path("ann") + " --csv " + path("ids.csv"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("2 identity switches, 10 misses, 0 false positives"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  1 frame of the truth has no tracked frame"), std::string::npos) << r.out;
  const std::string table = testing::slurp(path("ids.csv"));
  EXPECT_NE(table.find("Most Frequent Other Identity,IDTP,IDFN,IDFP\n"), std::string::npos) << table;
  EXPECT_NE(table.find("\nBox0,4,3,Box0,2,1,Box1,2,2,1\n"), std::string::npos) << table;
  r = run("evaluate " + path("swapped") + " " + path("ann") + " --strict");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("frame 3 is in the truth but was not tracked"), std::string::npos) << r.err;
}

// Behaviour of a small clip: the three tables, one line per mistake.
TEST_F(PelkCliTest, BehaviourWritesItsTablesAndRefusesBadSettings) {
  make_clip(4);
  std::ofstream(path("zones.json")) << R"({"shapes": [{"label": "feeder", "points": [[0, 0], [300, 0], [300, 360], [0, 360]]}]})";
  CliRun r = run("behaviour " + path("ann") + " --out " + path("b") + " --zones " + path("zones.json") + " --bin 2f");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("behaviour of 10 animals over 4 frames (times in frames): behaviour.csv, contacts.csv, "
                       "summary.csv and 5 plots in " + path("b")),
            std::string::npos)
      << r.out;
  const std::string tidy = testing::slurp(path("b/behaviour.csv"));
  EXPECT_EQ(tidy.rfind("bin_start,bin_end,animal,measure,value,unit\n0,2,Box0,distance,", 0), 0u) << tidy.substr(0, 200);
  EXPECT_NE(tidy.find(",zone:feeder,"), std::string::npos);
  EXPECT_NE(testing::slurp(path("b/summary.csv")).find("zone:feeder,time_unit"), std::string::npos);
  r = run("behaviour " + path("ann") + " --out " + path("c") + " --bin 0s");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--bin"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(path("c")));
  r = run("behaviour " + path("ann") + " --out " + path("c") + " --px-per-metre 0");
  EXPECT_EQ(r.code, 2);
  EXPECT_FALSE(fs::exists(path("c")));
}

// Behaviour in shards: each shard writes its part, the merge writes what one
// run writes; the scale from the pen's size; misuse is one line.
TEST_F(PelkCliTest, BehaviourShardsMergeIntoOneRunsTables) {
  make_clip(4);
  std::ofstream(path("pen.json")) << R"({"shapes": [{"points": [[0, 0], [400, 0], [400, 250], [0, 250]]}]})";
  const std::string settings = " --bin 3f --pen " + path("pen.json") + " --pen-size 4x2.5";
  CliRun r = run("behaviour " + path("ann") + " --out " + path("one") + settings);
  ASSERT_EQ(r.code, 0) << r.err;
  // 400 x 250 px over 4 x 2.5 m: 100 px a metre.
  EXPECT_NE(testing::slurp(path("one/behaviour.csv")).find(",distance_m,"), std::string::npos);
  for (const char* shard : {"0/2", "1/2"}) {
    r = run("behaviour " + path("ann") + " --out " + path("parts") + settings + " --shard " + shard);
    ASSERT_EQ(r.code, 0) << r.err;
  }
  EXPECT_NE(r.out.find("measured into " + path("parts/behaviour-part-1-of-2.bin") +
                       "; when every shard is done: pelk behaviour --merge --parts " + path("parts") + " --out DIR"),
            std::string::npos)
      << r.out;
  r = run("behaviour --merge --out " + path("parts"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("merged 2 shard parts"), std::string::npos) << r.out;
  for (const char* name : {"behaviour.csv", "contacts.csv", "summary.csv"}) {
    EXPECT_EQ(testing::slurp(path(std::string("parts/") + name)), testing::slurp(path(std::string("one/") + name))) << name;
  }
  const std::vector<std::pair<std::string, std::string>> misuse = {
      {"behaviour --merge --out " + path("parts") + " --bin 5f", "--merge: takes its settings from the shards' parts: drop --bin"},
      {"behaviour " + path("ann") + " --merge --out " + path("parts"), "--merge: takes no clips"},
      {"behaviour --out " + path("x"), "give the annotation folders to measure (or --merge)"},
      {"behaviour " + path("ann") + " --out " + path("x") + " --pen-size 4x2.5", "--pen-size: needs --pen"},
      {"behaviour " + path("ann") + " --out " + path("x") + " --pen " + path("pen.json") + " --pen-size 4by2", "is not a size in metres"},
      {"behaviour --merge --out " + path("ann"), "holds no behaviour part"}};
  for (const auto& [command, message] : misuse) {
    r = run(command);
    EXPECT_NE(r.code, 0) << command;
    EXPECT_NE(r.err.find(message), std::string::npos) << command << ": " << r.err;
  }
  EXPECT_FALSE(fs::exists(path("x")));
}

// Truth from other tools: the clip's own MOT and CVAT exports as truth, the
// JSON output, and the import of a CVAT file as a folder that scores 100 %.
TEST_F(PelkCliTest, EvaluateTakesOtherToolsFilesAndImportWritesAFolder) {
  make_clip(4);
  ASSERT_EQ(run("export " + path("ann") + " --format mot --out " + path("truth.txt")).code, 0);
  ASSERT_EQ(run("export " + path("ann") + " --format cvat --out " + path("truth.xml")).code, 0);
  CliRun r = run("evaluate " + path("ann") + " " + path("truth.txt"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("  by box IoU: the truth (MOTChallenge text) has boxes only"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  note: the tracked frames are numbered 0..3 and the truth's 1..4; if they are the same "
                       "frames, --frame-offset 1 lines them up"),
            std::string::npos)
      << r.out;
  r = run("evaluate " + path("ann") + " " + path("truth.txt") + " --frame-offset 1 --json -");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.rfind("HOTA 100.0%", 0), 0u) << "the text goes to standard error: " << r.err;
  const nlohmann::json j = nlohmann::json::parse(r.out);
  for (const char* key : {"HOTA", "DetA", "AssA", "LocA", "IDF1", "IDP", "IDR", "MOTA", "MOTP"}) {
    EXPECT_DOUBLE_EQ(j["summary"][key].get<double>(), 1.0) << key;
  }
  EXPECT_EQ(j["summary"]["TP"], 40);
  EXPECT_EQ(j["summary"]["truth_ids"], 10);
  EXPECT_EQ(j["inputs"]["iou"], "box");
  EXPECT_EQ(j["inputs"]["truth"]["kind"], "MOTChallenge text");
  EXPECT_EQ(j["identities"].size(), 10u);

  r = run("evaluate " + path("ann") + " " + path("truth.xml") + " --json " + path("m.json"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("HOTA 100.0%", 0), 0u) << r.out;
  EXPECT_EQ(nlohmann::json::parse(testing::slurp(path("m.json")))["inputs"]["iou"], "mask");

  r = run("import " + path("truth.xml") + " --frames " + path("frames") + " --out " + path("imported"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Wrote 4 annotation files to " + path("imported") + ": 40 objects of 10 identities"),
            std::string::npos)
      << r.out;
  r = run("evaluate " + path("imported") + " " + path("ann"));
  EXPECT_EQ(r.out.rfind("HOTA 100.0%", 0), 0u) << r.out;

  // A hostile file: one line, exit 1, nothing written.
  std::ofstream(path("laughs.xml")) << "<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY a \"aaaa\">]>\n<annotations/>\n";
  r = run("import " + path("laughs.xml") + " --frames " + path("frames") + " --out " + path("hostile"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("line 2: declares a document type"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_FALSE(fs::exists(path("hostile")));
  r = run("evaluate " + path("ann") + " " + path("laughs.xml"));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
}

// Repair end to end: a clip in which the tracker exchanged two animals'
// identities after one lay on the other. The dry run changes nothing, the
// repair brings the clip to its truth, a second run finds nothing to do,
// and --undo restores every byte.
TEST_F(PelkCliTest, RepairExchangesIdentitiesBackAndUndoRestoresTheClip) {
  const cv::Size size(120, 40);
  cv::Mat3b image(size);
  cv::theRNG().state = 7;
  cv::randu(image, 0, 255);
  cv::imwrite(path("frame.png"), image);
  const auto square = [&](int x) { return Mask(size, cv::Rect(x, 15, 12, 12), cv::Mat1b(12, 12, uchar{1})); };
  fs::create_directories(path("tracked"));
  fs::create_directories(path("truth"));
  for (int f = 0; f < 12; ++f) {
    const int b = f >= 4 && f <= 7 ? 10 : 80;  // B lies on A in frames 4..7
    write_annotation_file(path("truth/output_pp_" + std::to_string(f) + ".json"), path("frame.png"),
                          {{1, square(10)}, {2, square(b)}});
    const bool swapped = f > 7;  // the tracker's fault
    write_annotation_file(path("tracked/output_pp_" + std::to_string(f) + ".json"), path("frame.png"),
                          {{1, square(swapped ? b : 10)}, {2, square(swapped ? 10 : b)}});
  }
  std::vector<std::string> before;
  for (int f = 0; f < 12; ++f) before.push_back(testing::slurp(path("tracked/output_pp_" + std::to_string(f) + ".json")));
  const auto unchanged = [&] {
    for (int f = 0; f < 12; ++f) {
      if (testing::slurp(path("tracked/output_pp_" + std::to_string(f) + ".json")) != before[static_cast<std::size_t>(f)]) return false;
    }
    return true;
  };

  CliRun r = run("repair " + path("tracked") + " --dry-run");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Box0-Box1 overlap in frames 4..7, frames 3 and 8 compared: the identities were exchanged"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("would exchange Box0 and Box1 (object ids 1 and 2) after frame 7 in 4 files (nothing written)"), std::string::npos) << r.out;
  EXPECT_TRUE(unchanged());

  r = run("repair " + path("tracked"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("exchanged Box0 and Box1 (object ids 1 and 2) after frame 7 in 4 files"), std::string::npos) << r.out;
  r = run("evaluate " + path("tracked") + " " + path("truth"));
  EXPECT_NE(r.out.find("IDF1 100.0%"), std::string::npos) << r.out;

  r = run("repair " + path("tracked"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("nothing to do: 1 episode (overlaps and contacts), no exchanged identities found"), std::string::npos) << r.out;

  r = run("repair " + path("tracked") + " --undo");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("restored 4 annotation files"), std::string::npos) << r.out;
  EXPECT_TRUE(unchanged());
  r = run("repair " + path("tracked") + " --undo");
  EXPECT_NE(r.out.find("nothing to undo"), std::string::npos) << r.out;

  // A copy of a repaired folder undoes itself, from another working folder.
  ASSERT_EQ(run("repair " + path("tracked")).code, 0);
  fs::copy(path("tracked"), path("copy"), fs::copy_options::recursive);
  r = pelk("repair copy --undo", dir_, "cd " + dir_.string() + " &&");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("restored 4 annotation files of copy as they were"), std::string::npos) << r.out;
  EXPECT_FALSE(unchanged());  // the original keeps its repair

  // Interrupted: the manifest still says "applying" and one file was not
  // reached. A dry run tells and writes nothing; a real run finishes it.
  const fs::path manifest = dir_ / "tracked" / "pelk_repair_manifest.json";
  std::string text = testing::slurp(manifest);
  text.replace(text.find("\"applied\""), 9, "\"applying\"");
  std::ofstream(manifest) << text;
  std::ofstream(path("tracked/output_pp_11.json")) << before[11];
  std::ofstream(path("tracked/.pelk-k1ll3d")) << "partial";
  std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
  const auto snapshot = [&] {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> out;
    for (const auto& e : fs::recursive_directory_iterator(path("tracked"))) {
      if (e.is_regular_file()) out[e.path().string()] = {testing::slurp(e.path()), e.last_write_time()};
    }
    return out;
  };
  files = snapshot();
  r = run("repair " + path("tracked") + " --dry-run");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("an interrupted repair is pending; run `pelk repair --undo` or `pelk repair` to finish it"),
            std::string::npos) << r.err;
  EXPECT_EQ(snapshot(), files);
  r = run("repair " + path("tracked"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("wrote the 1 files it had not reached"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(path("tracked/.pelk-k1ll3d")));
  EXPECT_NE(r.out.find("removed 1 leftover files of an interrupted run"), std::string::npos) << r.out;
  EXPECT_NE(run("evaluate " + path("tracked") + " " + path("truth")).out.find("IDF1 100.0%"), std::string::npos);
  ASSERT_EQ(run("repair " + path("tracked") + " --undo").code, 0);
  EXPECT_TRUE(unchanged());

  for (const char* margin : {"-5", "nan", "inf"}) {
    r = run("repair " + path("tracked") + " --margin " + margin);
    EXPECT_EQ(r.code, 1) << margin;
    EXPECT_NE(r.err.find("repair setting margin must be a finite number of 0 or more"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(unchanged());
}

TEST_F(PelkCliTest, CatalogAndShardedExtraction) {
  synth::SceneConfig c;
  c.frames = 8;
  synth::PenScene(c).write_camera_video(path("videos/cam62"));
  CliRun r = run("catalog " + path("videos") + " --sub-dir cam62 --csv " + path("cat.csv"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(testing::slurp(path("cat.csv")).find("Camera Number,Date,Time,File Path,Video Name\n62,20240405,07:00:00,"),
            std::string::npos);
  const std::string extract = "extract " + path("videos") + " --sub-dir cam62 --out " + path("frames_out") + " --time-step 1";
  r = run(extract + " --shard 1/2");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(fs::exists(path("frames_out/20240405")));  // the only recording belongs to shard 0
  r = run(extract, "SLURM_ARRAY_TASK_ID=2 SLURM_ARRAY_TASK_MIN=1 SLURM_ARRAY_TASK_COUNT=2");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("(shard 1/2)"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(path("frames_out/20240405")));
  r = run(extract, "SLURM_ARRAY_TASK_ID=x SLURM_ARRAY_TASK_COUNT=2");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("SLURM_ARRAY_TASK_ID: 'x' is not a whole number"), std::string::npos) << r.err;
  r = run("extract " + path("videos") + " --sub-dir cam62 --out " + path("frames_out") + " --time-step 1");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Cropped frames from 0 to"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Processing frame 1 (saved as 0000.jpg)"), std::string::npos) << "a log gets every frame";

  // On a terminal: the bar and a line per range, a line per frame only with --verbose.
  if (std::system("script --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "script (util-linux) is not installed";
  const std::string base = "extract " + path("videos") + " --sub-dir cam62 --every 1 --time-step 1 --out ";
  const auto pelk_script = [&](const std::string& out_dir, const std::string& more) {
    CliRun t;
    const std::string command = "script -qec \"" + std::string(PELK_BINARY) + " " + base + out_dir + more + "\" /dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::array<char, 4096> buf{};
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0;) t.out.append(buf.data(), n);
    t.code = ::pclose(pipe);
    return t;
  };
  const CliRun quiet = pelk_script(path("tty_quiet"), "");
  EXPECT_EQ(quiet.code, 0) << quiet.out;
  EXPECT_NE(quiet.out.find("Cropped frames from 0 to"), std::string::npos) << quiet.out;
  EXPECT_EQ(quiet.out.find("Processing frame"), std::string::npos) << quiet.out;
  const CliRun verbose = pelk_script(path("tty_verbose"), " --verbose");
  EXPECT_NE(verbose.out.find("Processing frame 1 (saved as 0000.jpg)"), std::string::npos) << verbose.out;
}

// Tracks of several clips split into shards: the shards' files in shard
// order concatenate to the single run's table, byte for byte.
TEST_F(PelkCliTest, TracksShardsConcatenateToTheSingleRun) {
  make_clip(4);
  std::string clips;
  for (const char* name : {"c0", "c1", "c2"}) {
    fs::create_directories(dir_ / name);
    for (const auto& e : fs::directory_iterator(dir_ / "ann")) fs::copy_file(e.path(), dir_ / name / e.path().filename());
    clips += " " + path(name);
  }
  CliRun r = run("tracks" + clips + " --out " + path("all.csv"));
  ASSERT_EQ(r.code, 0) << r.err;
  std::string joined;
  for (int k = 0; k < 2; ++k) {
    const std::string part = path("part" + std::to_string(k) + ".csv");
    r = run("tracks" + clips + " --out " + part + " --shard " + std::to_string(k) + "/2");
    ASSERT_EQ(r.code, 0) << r.err;
    joined += testing::slurp(part);
  }
  EXPECT_EQ(joined, testing::slurp(path("all.csv")));
  EXPECT_EQ(std::count(joined.begin(), joined.end(), '\n'), 1 + 3 * 4 * 10);
  r = run("export" + clips + " --format mot --out " + path("t.txt"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("10 identities over 12 frames (120 masks) written to"), std::string::npos) << r.out;
}

// The main job at a reduced size: the report finds the planted overlap and
// the vanished animal, and the matcher carries the ten identities.
TEST_F(PelkCliTest, DemoEndToEnd) {
  const CliRun r = run("demo --frames 40 --out " + path("demo"));
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("check: the report found one animal lying on another"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("check: the report found the animal that left the view"), std::string::npos);
  EXPECT_NE(r.out.find("10 of 10 identities carried"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("All self-checks against the scene's truth passed."), std::string::npos);
  EXPECT_TRUE(fs::exists(path("demo/annotations/clip1/tracking_question_report.csv")));
  EXPECT_NE(r.out.find("review page          " + path("demo/review/clip1/index.html")), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(path("demo/review/clip1/data.js")));
  // The folders the closing lines suggest trying the identity tools on, and
  // the commands themselves, as a newcomer would type them.
  const std::string truth = path("demo/annotations/clip1_truth"), swapped = path("demo/annotations/clip1_swapped");
  EXPECT_NE(r.out.find("  pelk evaluate " + swapped + " " + truth + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  pelk repair " + swapped + " --dry-run\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  pelk review " + swapped + " --truth " + truth + " --resolve\n"), std::string::npos) << r.out;
  CliRun e = run("evaluate " + path("demo/annotations/clip1") + " " + truth);
  ASSERT_EQ(e.code, 0) << e.err;
  EXPECT_NE(e.out.find(", 0 identity switches"), std::string::npos) << e.out;
  e = run("evaluate " + swapped + " " + truth);
  ASSERT_EQ(e.code, 0) << e.err;
  EXPECT_NE(e.out.find(", 2 identity switches"), std::string::npos) << e.out;
  EXPECT_NE(e.out.find("identity changed at frame"), std::string::npos) << e.out;
  const CliRun repair = run("repair " + swapped + " --dry-run");
  ASSERT_EQ(repair.code, 0) << repair.err;
  EXPECT_NE(repair.out.find("would exchange Box"), std::string::npos) << repair.out;
}

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

TEST_F(PelkCliTest, ChainPutsTheSecondClipUnderTheFirstClipsIdentitiesAndUndoesApart) {
  // Two clips of one scene, one after the other, each numbering the animals
  // its own way; the frames lie outside an extract tree, so the masks at the
  // boundary tell that the clips are continuous.
  synth::SceneConfig c;
  c.frame_size = {590, 720};
  const synth::PenScene scene(c);
  const auto write = [&](const std::string& name, int first, int shift) {
    const std::vector<std::string> frames = scene.write_frames(path("frames_" + name), first, 20);
    fs::create_directories(path(name));
    for (int f = 0; f < 20; ++f) {
      std::vector<AnnotatedObject> objects;
      for (const auto& t : scene.truth(first + f)) {
        if (!t.mask.empty()) objects.push_back({(t.identity + shift) % 10 + 1, t.mask});
      }
      write_annotation_file(path(name + "/output_pp_" + std::to_string(f) + ".json"), frames[static_cast<std::size_t>(f)], objects);
    }
  };
  write("a", 100, 0);
  write("b", 120, 3);
  const auto texts = [&] {
    std::string all;
    for (int f = 0; f < 20; ++f) all += testing::slurp(path("b/output_pp_" + std::to_string(f) + ".json"));
    return all;
  };
  const std::string before = texts();
  const std::string clips = path("a") + " " + path("b");

  CliRun r = run("chain " + clips + " --dry-run");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("clip 2 (b): times unknown (frames outside a `pelk extract` tree): taken as continuous, the masks "
                       "at the boundary follow on; carried (10 carried)"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 boundary: 1 carried; 10 day identities"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("would relabel 20 files in 1 clip (nothing written)"), std::string::npos) << r.out;
  EXPECT_EQ(texts(), before);

  r = run("chain " + clips);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("relabelled 20 files in 1 clip; `pelk chain --undo` with the same clips restores them"), std::string::npos)
      << r.out;
  const ClipAnnotationData chained = load_clip_masks(path("b"));
  for (int f = 0; f < 20; ++f) {
    const MaskDict& masks = chained.at(f).masks_dict;
    for (const auto& t : scene.truth(120 + f)) {
      const Mask& m = masks.at("Box" + std::to_string(t.identity));
      EXPECT_EQ(intersection_area(m, t.mask), t.mask.area()) << "frame " << f << ", animal " << t.identity;
    }
  }
  // The review page of the chained clip shows the boundary's verdict.
  r = run("review " + path("b") + " --out " + path("review_b"));
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string page_data = testing::slurp(path("review_b/data.js"));
  EXPECT_NE(page_data.find("\"kind\":\"day chain\""), std::string::npos);
  EXPECT_NE(page_data.find("day identities of 'a'"), std::string::npos) << page_data.substr(0, 400);
  EXPECT_NE(page_data.find("pelk chain --undo"), std::string::npos);
  // A repair of the chained clip keeps its own manifest; the chain undoes apart.
  EXPECT_EQ(run("repair " + path("b") + " --undo").out.find("nothing to undo"), 0u);
  r = run("chain " + clips + " --undo --dry-run");
  EXPECT_NE(r.out.find("would restore 20 annotation files of " + path("b")), std::string::npos) << r.out;
  r = run("chain " + clips + " --undo");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("restored 20 files in 1 clip as they were"), std::string::npos) << r.out;
  EXPECT_EQ(texts(), before);

  r = run("chain " + path("b") + " " + path("a") + " " + path("b"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("is given twice"), std::string::npos) << r.err;
  r = run("chain " + clips + " --animals 0");
  EXPECT_EQ(r.code, 2) << r.err;
}

}  // namespace
}  // namespace pelk
