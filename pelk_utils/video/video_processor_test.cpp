#include "pelk_utils/video/video_processor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"
#include "pelk_utils/core/testing/test_support.hpp"
#include "pelk_utils/video/internal/video_reader.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::CoutCapture;

const cv::Scalar kOrange(0, 128, 255);  // BGR; HSV hue 15, full saturation and value

// A 2560 x 1440 frame with orange marker rectangles.
cv::Mat3b marked_frame(const std::vector<cv::Rect>& markers, cv::Size size = {2560, 1440}) {
  cv::Mat3b f(size, cv::Vec3b(60, 90, 60));
  for (const cv::Rect& r : markers) f(r).setTo(kOrange);
  return f;
}

int count_files(const fs::path& dir) {
  int n = 0;
  if (fs::exists(dir)) {
    for (const auto& e : fs::directory_iterator(dir)) n += e.is_regular_file();
  }
  return n;
}

// Reader opens and seeks since it was made.
class ReaderCountsDelta {
 public:
  ReaderCountsDelta() : start_(internal::reader_counts()) {}
  internal::ReaderCounts delta() const {
    const internal::ReaderCounts now = internal::reader_counts();
    return {now.opens - start_.opens, now.seeks - start_.seeks};
  }

 private:
  internal::ReaderCounts start_;
};

class VideoTest : public testing::ScratchDirTest {
 protected:

  // Writes an mp4v video of `frames` copies of `frame`.
  std::string video(const std::string& name, const cv::Mat& frame, int frames, double fps = 25) {
    const std::string path = (dir_ / name).string();
    cv::VideoWriter w(path, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), fps, frame.size());
    EXPECT_TRUE(w.isOpened());
    for (int i = 0; i < frames; ++i) w.write(frame);
    return path;
  }
  std::string small_video(int frames, double fps = 25) {
    return video("small" + std::to_string(frames) + "_" + std::to_string(int(fps)) + ".mp4",
                 cv::Mat3b(32, 48, cv::Vec3b(10, 20, 30)), frames, fps);
  }
};

TEST(FindOrangeRegionTest, PicksTheRightmostOfTheTwoLargestBlobs) {
  VideoProcessor p;
  // Larger blob left (x ~ 200), smaller blob at x ~ 1200, a third smaller blob further right.
  const cv::Mat3b f = marked_frame({{150, 100, 100, 400}, {1180, 300, 40, 200}, {2000, 300, 10, 10}});
  EXPECT_EQ(p.find_orange_region(f), (CropRect{1180, 300, 1220, 500}));
  EXPECT_EQ(p.find_orange_region(marked_frame({})), std::nullopt);
}

struct CropRuleCase {
  const char* name;
  CropRect detected;
  std::optional<bool> left;
  CropRect expected;
};

class CropRuleTest : public ::testing::TestWithParam<CropRuleCase> {};

TEST_P(CropRuleTest, Adjusts) { EXPECT_EQ(adjust_crop(GetParam().detected, GetParam().left), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rules, CropRuleTest,
    ::testing::Values(CropRuleCase{"left_near", {610, 0, 690, 1440}, true, {120, 0, 565, 1440}},
                      CropRuleCase{"right_near", {610, 0, 690, 1440}, false, {560, 0, 2300, 1440}},
                      CropRuleCase{"left_far", {2350, 5, 2400, 90}, true, {380, 0, 2305, 1440}},
                      CropRuleCase{"right_far", {2350, 5, 2400, 90}, false, {2300, 0, 2560, 1440}},
                      CropRuleCase{"right_at_2300", {2200, 5, 2300, 90}, false, {2150, 0, 2560, 1440}},
                      CropRuleCase{"unset_keeps_detected", {1, 2, 3, 4}, std::nullopt, {1, 2, 3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VideoTest, CropsWithDetectedRegionAndCachesPerCamera) {
  const std::string v = video("cam.mp4", marked_frame({{608, 0, 96, 1440}}), 6);
  VideoProcessor p;
  p.left_crop = false;
  CoutCapture cap;
  p.crop_video_to_frames(v, (dir_ / "out1").string(), 0, 0.0025, std::string("61"));  // frames 0..3
  const CropRect used = p.camera_crop_coords.at(std::string("61"));
  EXPECT_EQ(used.x2, 2300);
  EXPECT_NEAR(used.x1, 558, 4);  // marker at 608, minus 50
  EXPECT_EQ(count_files(dir_ / "out1"), 4);
  const cv::Mat img = cv::imread((dir_ / "out1" / "0003.jpg").string());
  EXPECT_EQ(img.size(), cv::Size(used.x2 - used.x1, 1440));
  const std::string first = cap.text();
  EXPECT_NE(first.find("cv2 crop region for Camera 61: x1="), std::string::npos);
  EXPECT_NE(first.find("Processing frame 0 (saved as 0000.jpg)\n"), std::string::npos);
  EXPECT_NE(first.find("Cropped frames from 0 to 0.0025 minutes saved to " + (dir_ / "out1").string() + ".\nDim: (1440, " +
                       std::to_string(used.x2 - used.x1) + ", 3)\n"),
            std::string::npos);

  CoutCapture cap2;
  p.left_crop = true;  // the cache wins whatever the setting is now
  p.crop_video_to_frames(v, (dir_ / "out2").string(), 0, 0.0025, std::string("61"));
  EXPECT_EQ(cap2.text().find("cv2 crop region"), std::string::npos);
  EXPECT_NE(cap2.text().find("Detected crop region for Camera 61: x1=" + std::to_string(used.x1)), std::string::npos);
}

TEST_F(VideoTest, NoOrangeRegionWritesNothing) {
  const std::string v = video("plain.mp4", marked_frame({}), 3);
  VideoProcessor p;
  CoutCapture cap;
  p.crop_video_to_frames(v, (dir_ / "out").string(), 0, 0.001);
  EXPECT_NE(cap.text().find("No orange region detected. Exiting.\n"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(dir_ / "out"));
  EXPECT_EQ(count_files(dir_ / "out"), 0);
}

TEST_F(VideoTest, PresetCropResizeAndBoundsBeyondFrame) {
  const std::string v = video("cam.mp4", marked_frame({}), 3);
  VideoProcessor p;
  p.resize_dim = std::pair<int, int>{0, 360};
  p.camera_crop_coords[std::nullopt] = CropRect{0, 0, 1180, 1440};
  CoutCapture cap;
  p.crop_video_to_frames(v, (dir_ / "a").string(), 0, 0.001);
  EXPECT_EQ(cv::imread((dir_ / "a" / "0000.jpg").string()).size(), cv::Size(295, 360));
  EXPECT_NE(cap.text().find("Detected crop region for Camera None: x1=0"), std::string::npos);

  p.resize_dim.reset();
  p.camera_crop_coords[std::string("7")] = CropRect{-10, 0, 3000, 2000};  // last 10 columns, all rows
  p.crop_video_to_frames(v, (dir_ / "b").string(), 0, 0.001, std::string("7"));
  EXPECT_EQ(cv::imread((dir_ / "b" / "0000.jpg").string()).size(), cv::Size(10, 1440));

  p.camera_crop_coords[std::string("8")] = CropRect{100, 0, 100, 1440};
  EXPECT_THROW(p.crop_video_to_frames(v, (dir_ / "c").string(), 0, 0.001, std::string("8")), std::invalid_argument);
}

// Saved pictures show what OpenCV decodes for the same frame, whichever way
// they were made: straight from the decoder's YCbCr (even crop corner, no
// resize) or through BGR (odd corner, resize). The straight path is about
// one level brighter than OpenCV's SIMD conversion, which rounds down (and
// so is closer to the recorded scene); a crop one column off differs by
// more than 20.
TEST_F(VideoTest, SavedFramesShowTheDecodedPixels) {
  cv::Mat3b textured(96, 160);
  for (int y = 0; y < textured.rows; ++y) {
    for (int x = 0; x < textured.cols; ++x) {
      // Fine grey ripples (kept by JPEG's full-resolution luma) over colour.
      const double ripple = 45 * std::sin(x * 1.3) + 30 * std::cos(y * 0.9);
      textured(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(60 + x / 2 + ripple), cv::saturate_cast<uchar>(80 + y + ripple),
                                 cv::saturate_cast<uchar>(128 + 50 * std::sin(x / 6.0) + ripple));
    }
  }
  cv::rectangle(textured, cv::Rect(60, 30, 24, 20), cv::Scalar(255, 255, 255), cv::FILLED);
  const std::string v = video("textured.mp4", textured, 3);
  cv::VideoCapture cap(v, cv::CAP_FFMPEG);
  cv::Mat decoded;
  ASSERT_TRUE(cap.read(decoded) && cap.read(decoded));  // frame 1, the first one saved
  struct Case {
    const char* name;
    CropRect crop;
    std::optional<int> height;
    double max_mean_difference;
  };
  for (const Case& c : {Case{"even_corner", {40, 10, 141, 95}, {}, 2.0}, Case{"odd_corner", {41, 11, 140, 96}, {}, 0.5},
                        Case{"whole_frame", {0, 0, 160, 96}, {}, 2.0}, Case{"resized", {40, 10, 140, 90}, 40, 0.5}}) {
    VideoProcessor p;
    p.camera_crop_coords[std::nullopt] = c.crop;
    if (c.height) p.resize_dim = std::pair<int, int>{0, *c.height};
    const fs::path out = dir_ / c.name;
    CoutCapture quiet;
    p.crop_video_to_frames(v, out.string(), 0, 0.001);
    cv::Mat expected = decoded(cv::Rect(c.crop.x1, c.crop.y1, c.crop.x2 - c.crop.x1, c.crop.y2 - c.crop.y1));
    if (c.height) cv::resize(expected, expected, cv::Size(50, *c.height), 0, 0, cv::INTER_AREA);
    // What cv::imwrite would have saved for OpenCV's frame.
    std::vector<uchar> bytes;
    cv::imencode(".jpg", expected, bytes);
    expected = cv::imdecode(bytes, cv::IMREAD_COLOR);
    const cv::Mat saved = cv::imread((out / "0000.jpg").string());
    ASSERT_EQ(saved.size(), expected.size()) << c.name;
    cv::Mat diff;
    cv::absdiff(saved, expected, diff);
    EXPECT_LT(cv::mean(diff)[0], c.max_mean_difference) << c.name;
  }
}

TEST_F(VideoTest, FrameSkipSavesMultiplesAndTheLastCounter) {
  const std::string v = small_video(40);
  VideoProcessor p;
  p.frame_skip = 7;
  CoutCapture cap;
  p.crop_video_to_frames(v, (dir_ / "out").string(), 0, 0.02, std::nullopt, false);  // counters 0..29
  EXPECT_EQ(count_files(dir_ / "out"), 6);
  for (const char* line : {"Processing frame 0 (saved", "Processing frame 28 (saved as 0004.jpg)",
                           "Processing frame 29 (saved as 0005.jpg)"}) {
    EXPECT_NE(cap.text().find(line), std::string::npos) << line;
  }
  EXPECT_EQ(cap.text().find("Processing frame 27"), std::string::npos);
}

TEST_F(VideoTest, FrameSkipZeroIsRejected) {
  VideoProcessor p;
  p.frame_skip = 0;
  EXPECT_THROW(p.crop_video_to_frames(small_video(5), path("out"), 0, 0.001, std::nullopt, false),
               std::invalid_argument);
}

// Fractional minutes carry rounding (0.1 + 0.2); the frame bounds are
// rounded to whole frames, so the range 0.30000000000000004..0.4 saves all
// 150 of its frames (not 88) and its neighbour 0.2..0.30000000000000004 ends
// where it begins (150, not 151 with one saved twice). Texts stay exact.
TEST_F(VideoTest, FractionalMinutesRoundToWholeFrames) {
  const std::string v = small_video(610);
  VideoProcessor p;
  {
    CoutCapture cap;
    p.crop_video_to_frames(v, (dir_ / "a").string(), 0.1 + 0.2, 0.4, std::nullopt, false);
    EXPECT_EQ(count_files(dir_ / "a"), 150);
    EXPECT_NE(cap.text().find("Processing frame 450.0 (saved as 0000.jpg)\n"), std::string::npos);
    EXPECT_NE(cap.text().find("Processing frame 599.0 (saved as 0149.jpg)\n"), std::string::npos);
    EXPECT_NE(cap.text().find("Cropped frames from 0.30000000000000004 to 0.4 minutes"), std::string::npos);
  }
  {
    CoutCapture cap;
    p.crop_video_to_frames(v, (dir_ / "b").string(), 0.2, 0.1 + 0.2, std::nullopt, false);
    EXPECT_EQ(count_files(dir_ / "b"), 150);
    EXPECT_NE(cap.text().find("Processing frame 300.0 (saved as 0000.jpg)\n"), std::string::npos);
    EXPECT_NE(cap.text().find("Processing frame 449.0 (saved as 0149.jpg)\n"), std::string::npos);
  }
}

TEST_F(VideoTest, RangeThatSavesNothingPrintsNoDimLine) {
  const std::string v = small_video(10);
  VideoProcessor p;
  CoutCapture cap;
  // Start at frame 9: the first (detection) frame is the video's last one.
  p.crop_video_to_frames(v, (dir_ / "out").string(), Number(9.0 / 1500), 0.01, std::nullopt, false);
  EXPECT_NE(cap.text().find("Cropped frames from"), std::string::npos);
  EXPECT_EQ(cap.text().find("Dim:"), std::string::npos);
  EXPECT_EQ(count_files(dir_ / "out"), 0);
}

CatalogueTable table_for(const std::string& path, const std::string& camera, const std::string& name) {
  return {CatalogueRow{0, camera, "20240105", "07:00:00", path, name}};
}

// The files under `root`, relative path -> content.
std::map<std::string, std::string> tree_of(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = testing::slurp(e.path());
  }
  return files;
}

// A camera's crop comes from its first recording in the catalogue, also for
// a run that cuts only a later one (a shard of a job array, or a rerun whose
// first ranges exist): its frames equal those of one run over everything.
TEST_F(VideoTest, ACutOfALaterRecordingTakesTheCropOfTheCamerasFirst) {
  const cv::Size size(320, 180);
  CatalogueTable catalogue = table_for(video("a.mp4", marked_frame({{96, 0, 32, 180}}, size), 6), "61", "a");
  catalogue.push_back(table_for(video("b.mp4", marked_frame({{208, 0, 32, 180}}, size), 6), "61", "b")[0]);
  catalogue[1].time = "08:00:00";
  const auto cut = [&](const std::string& out, const CatalogueTable& rows, bool whole_catalogue_first) {
    VideoProcessor p;
    p.output_dir_base = (dir_ / out).string();
    CoutCapture cap;
    if (whole_catalogue_first) p.decide_camera_crops(catalogue);
    p.process_videos_to_frames(rows);
    return p.camera_crop_coords.at(std::string("61"));
  };
  const CropRect one_run = cut("one", catalogue, false);
  EXPECT_EQ(one_run.x1, 46);
  EXPECT_EQ(cut("alone", {catalogue[1]}, false).x1, 158) << "the later recording alone detects its own marker";
  EXPECT_EQ(cut("shard", {catalogue[1]}, true), one_run);
  EXPECT_EQ(tree_of(dir_ / "shard" / "20240105" / "b"), tree_of(dir_ / "one" / "20240105" / "b"));
  EXPECT_NE(tree_of(dir_ / "alone" / "20240105" / "b"), tree_of(dir_ / "one" / "20240105" / "b"));
}

// A recording cut while it was still being copied ends early; once the copy
// is whole, a rerun removes the short last range it left and cuts the
// recording as a first run would: no frame is saved twice.
TEST_F(VideoTest, ARerunAfterTheRecordingGrewLeavesNoOverlappingRanges) {
  const cv::Mat3b frame(32, 48, cv::Vec3b(10, 20, 30));
  const auto extract = [&](const std::string& out, const std::string& recording) {
    VideoProcessor p;
    p.time_step = 0.01;  // 15 frames at 25 fps
    p.crop = false;
    p.output_dir_base = (dir_ / out).string();
    CoutCapture cap;
    EXPECT_TRUE(p.process_videos_to_frames(table_for(recording, "61", "rec")).complete());
    return cap.text();
  };
  const std::string copying = video("copying.mp4", frame, 40);  // 1.6 s: the copy so far
  extract("frames", copying);
  const std::string whole = video("whole.mp4", frame, 100);
  fs::copy_file(whole, copying, fs::copy_options::overwrite_existing);
  fs::create_directories(dir_ / "frames" / "20240105" / "rec" / "0min_to_0.005min" / "right_cropped_frames.partial");
  const std::string rerun = extract("frames", copying);
  EXPECT_NE(rerun.find("Removing "), std::string::npos) << rerun;
  extract("fresh", whole);
  const auto names = [&](const std::string& out) {
    std::set<std::string> ranges;
    for (const auto& e : fs::directory_iterator(dir_ / out / "20240105" / "rec")) ranges.insert(e.path().filename().string());
    return ranges;
  };
  EXPECT_EQ(names("frames"), names("fresh"));
  EXPECT_EQ(tree_of(dir_ / "frames").size(), tree_of(dir_ / "fresh").size());
}

TEST_F(VideoTest, UnopenableVideo) {
  VideoProcessor p;
  CoutCapture cap;
  EXPECT_EQ(p.get_video_duration((dir_ / "none.mp4").string()), 0);
  p.crop_video_to_frames((dir_ / "none.mp4").string(), (dir_ / "out").string());
  EXPECT_EQ(cap.text(), "Error: Could not open video " + (dir_ / "none.mp4").string() +
                            "\nError: Could not open video.\n");
  std::ofstream(dir_ / "garbage.mp4") << "not a video";
  p.output_dir_base = (dir_ / "frames").string();
  const ExtractionSummary s =
      p.process_videos_to_frames({table_for((dir_ / "none.mp4").string(), "61", "none")[0],
                                  table_for((dir_ / "garbage.mp4").string(), "61", "garbage")[0]});
  EXPECT_EQ(s.recordings_unopened, 2);
  EXPECT_FALSE(s.complete());
  EXPECT_FALSE(fs::exists(p.output_dir_base));
}

TEST_F(VideoTest, DurationLines) {
  const std::string v = small_video(50);
  VideoProcessor p;
  CoutCapture cap;
  EXPECT_DOUBLE_EQ(p.get_video_duration(v), 2.0 / 60);
  EXPECT_EQ(cap.text(), "Video FPS: 25.0\nTotal frames: 50.0\nVideo duration: 2.00 seconds\n");
}

TEST_F(VideoTest, BatchRangesFolderNamesAndRerunSkips) {
  const std::string v = small_video(130, 1);  // 130 s = 2.1666... minutes at 1 frame per second
  for (const Number step : {Number(2), Number(2.0)}) {
    VideoProcessor p;
    p.time_step = step;
    p.crop = false;
    p.output_dir_base = (dir_ / (step.is_integer() ? "int" : "float")).string();
    CoutCapture cap;
    const ExtractionSummary done = p.process_videos_to_frames(table_for(v, "61", "vid"));
    EXPECT_EQ(done.ranges_written, 2);
    EXPECT_TRUE(done.complete());
    const std::string base = p.output_dir_base + "/20240105/vid/";
    const double total = 130.0 / 60;
    const std::string first = step.is_integer() ? "0min_to_2min" : "0min_to_2.0min";
    const std::string second = (step.is_integer() ? "2min_to_" : "2.0min_to_") + format_number(total) + "min";
    EXPECT_EQ(count_files(base + first + "/right_cropped_frames"), 120);
    // Frames 120..129 remain; 120 is the range's detection frame, so 9 are saved.
    EXPECT_EQ(count_files(base + second + "/right_cropped_frames"), 9);
    EXPECT_FALSE(fs::exists(base + first + "/right_cropped_frames.partial"));

    CoutCapture rerun;
    EXPECT_EQ(p.process_videos_to_frames(table_for(v, "61", "vid")).ranges_written, 0);
    EXPECT_EQ(rerun.text(), "Video FPS: 1.0\nTotal frames: 130.0\nVideo duration: 130.00 seconds\nSkipping " + base +
                                first + "/right_cropped_frames, already exists.\nSkipping " + base + second +
                                "/right_cropped_frames, already exists.\n");
  }
}

TEST_F(VideoTest, StopRequestLeavesTheRangeUnfinishedAndARerunCompletesIt) {
  const std::string v = small_video(130, 1);
  VideoProcessor p;
  p.time_step = Number(1);
  p.crop = false;
  p.output_dir_base = (dir_ / "stopped").string();
  // Asks for a stop at the 70th saved frame: inside the second range.
  int lines = 0;
  const OutputSink previous = set_output_sink([&](std::string_view text) {
    if (text.rfind("Processing frame", 0) == 0 && ++lines == 70) request_stop();
  });
  EXPECT_THROW(p.process_videos_to_frames(table_for(v, "61", "vid")), StopRequested);
  clear_stop_request();
  set_output_sink(previous);
  const std::string base = p.output_dir_base + "/20240105/vid/";
  EXPECT_EQ(count_files(base + "0min_to_1min/right_cropped_frames"), 60) << "the finished range is kept";
  EXPECT_FALSE(fs::exists(base + "1min_to_2min/right_cropped_frames")) << "the stopped range is not final";
  EXPECT_TRUE(fs::exists(base + "1min_to_2min/right_cropped_frames.partial"));

  CoutCapture rerun;
  p.process_videos_to_frames(table_for(v, "61", "vid"));
  EXPECT_EQ(count_files(base + "1min_to_2min/right_cropped_frames"), 60);
  EXPECT_FALSE(fs::exists(base + "1min_to_2min/right_cropped_frames.partial"));
  EXPECT_NE(rerun.text().find("Skipping " + base + "0min_to_1min/right_cropped_frames, already exists."),
            std::string::npos);
}

TEST_F(VideoTest, BatchRedoesInterruptedRangesAndCarriesTheCropCache) {
  const std::string a = video("a.mp4", marked_frame({{608, 0, 96, 1440}}), 4);
  const std::string b = video("b.mp4", marked_frame({{1808, 0, 96, 1440}}), 4);
  VideoProcessor p;
  p.output_dir_base = (dir_ / "frames").string();
  p.resize_dim = std::pair<int, int>{0, 90};
  const std::string range = "/0min_to_" + format_number(4.0 / 25 / 60) + "min/right_cropped_frames";
  const std::string dir_a = p.output_dir_base + "/20240105/a" + range;
  // A stale half-written range from a crash: removed and redone.
  fs::create_directories(dir_a + ".partial");
  std::ofstream(dir_a + ".partial/0000.jpg") << "truncated";
  CoutCapture cap;
  p.process_videos_to_frames({table_for(a, "61", "a")[0], table_for(b, "61", "b")[0]});
  EXPECT_EQ(count_files(dir_a), 3);
  EXPECT_FALSE(fs::exists(dir_a + ".partial"));
  const std::string out = cap.text();
  EXPECT_EQ(out.find("cv2 crop region"), out.rfind("cv2 crop region"));  // detected once for camera 61

  // An error inside a range leaves no final folder; the next run redoes it.
  VideoProcessor q;
  q.output_dir_base = (dir_ / "frames2").string();
  q.camera_crop_coords[std::string("61")] = CropRect{100, 0, 100, 1440};  // empty crop: fails at the first save
  EXPECT_THROW(q.process_videos_to_frames(table_for(a, "61", "a")), std::invalid_argument);
  const std::string dir_q = q.output_dir_base + "/20240105/a" + range;
  EXPECT_FALSE(fs::exists(dir_q));
  q.camera_crop_coords[std::string("61")] = CropRect{0, 0, 100, 1440};
  q.process_videos_to_frames(table_for(a, "61", "a"));
  EXPECT_EQ(count_files(dir_q), 3);
}

TEST_F(VideoTest, NonPositiveTimeStepIsRejected) {
  VideoProcessor p;
  p.time_step = 0;
  EXPECT_THROW(p.process_videos_to_frames({}), std::invalid_argument);
  p.time_step = -0.5;
  EXPECT_THROW(p.process_videos_to_frames({}), std::invalid_argument);
}

// A 32 x 32 frame that carries its index as 16 black-or-white 8 x 8 blocks.
cv::Mat3b numbered_frame(int index) {
  cv::Mat3b f(32, 32, cv::Vec3b(0, 0, 0));
  for (int bit = 0; bit < 16; ++bit) {
    if (index >> bit & 1) f(cv::Rect(bit % 4 * 8, bit / 4 * 8, 8, 8)).setTo(cv::Vec3b(255, 255, 255));
  }
  return f;
}

int index_of(const cv::Mat& image) {
  int index = 0;
  for (int bit = 0; bit < 16; ++bit) {
    if (cv::mean(image(cv::Rect(bit % 4 * 8 + 2, bit / 4 * 8 + 2, 4, 4)))[0] > 128) index |= 1 << bit;
  }
  return index;
}

// Writes an MJPG recording of `frames` numbered frames (25 per second) to
// `path`; returns whether it could be written.
bool write_numbered_avi(const std::string& path, int frames) {
  cv::VideoWriter w(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(32, 32));
  for (int i = 0; i < frames && w.isOpened(); ++i) w.write(numbered_frame(i));
  return w.isOpened();
}

// Returns how often each frame of a recording of `frames` numbered frames
// was saved under its range folders (`recording_dir`/<range>/...), failing
// the test when a range was left unfinished or a range's frames are out of
// order; `ranges` receives the number of range folders.
std::vector<int> times_saved(const std::string& recording_dir, int frames, int* ranges = nullptr) {
  std::vector<int> seen(static_cast<std::size_t>(frames), 0);
  int count = 0;
  for (const auto& range : fs::directory_iterator(recording_dir)) {
    ++count;
    const fs::path leaf = range.path() / "right_cropped_frames";
    EXPECT_TRUE(fs::is_directory(leaf)) << range.path() << " was left unfinished";
    if (!fs::is_directory(leaf)) continue;
    std::vector<fs::path> files;
    for (const auto& file : fs::directory_iterator(leaf)) files.push_back(file.path());
    std::sort(files.begin(), files.end());
    int previous = -1;
    for (const fs::path& file : files) {
      const int index = index_of(cv::imread(file.string(), cv::IMREAD_GRAYSCALE));
      EXPECT_LT(index, frames) << file;
      EXPECT_GT(index, previous) << file << ": frames of a range are in order";
      previous = index;
      if (index < frames) ++seen[static_cast<std::size_t>(index)];
    }
  }
  if (ranges != nullptr) *ranges = count;
  return seen;
}

// The default batch over a whole 10-minute recording at 25 fps: the 0.1-minute
// starts carry rounding (0.30000000000000004, ...), yet every frame after the
// first range's detection frame is saved exactly once across the 101 ranges.
TEST_F(VideoTest, DefaultBatchSavesEveryFrameOfARecordingExactlyOnce) {
  const int frames = 25 * 60 * 10;
  const std::string path = (dir_ / "rec.avi").string();
  ASSERT_TRUE(write_numbered_avi(path, frames));
  VideoProcessor p;
  p.crop = false;
  p.output_dir_base = (dir_ / "frames").string();
  {
    CoutCapture quiet;
    p.process_videos_to_frames(table_for(path, "61", "rec"));
  }
  int ranges = 0;
  const std::vector<int> seen = times_saved(p.output_dir_base + "/20240105/rec", frames, &ranges);
  EXPECT_EQ(ranges, 101);
  EXPECT_EQ(seen[0], 0);  // the first range's detection frame
  for (int i = 1; i < frames; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], 1) << "frame " << i;
  EXPECT_TRUE(fs::exists(p.output_dir_base + "/20240105/rec/0.30000000000000004min_to_0.4min"));
}

// A recording whose rate changes (25, then 10, then 50 fps), as recorders
// write them: ranges are cut by frame position, so every frame after the
// first range's detection frame is still saved exactly once.
TEST_F(VideoTest, UnevenRateRecordingSavesEveryFrameExactlyOnce) {
  if (std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  const int frames = 300;
  const std::string source = (dir_ / "source.avi").string(), path = (dir_ / "uneven.mp4").string();
  ASSERT_TRUE(write_numbered_avi(source, frames));
  const std::string command =
      "ffmpeg -hide_banner -loglevel error -y -i " + source +
      " -vf \"settb=1/1000,setpts='if(lt(N,100),N*40,if(lt(N,200),4000+(N-100)*100,14000+(N-200)*20))/1000/TB'\" "
      "-fps_mode passthrough -enc_time_base:v 1:1000 -c:v libx264 -preset veryfast -crf 12 -bf 2 -g 25 "
      "-pix_fmt yuv420p " + path;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  VideoProcessor p;
  p.crop = false;
  p.time_step = Number(0.01);
  p.output_dir_base = (dir_ / "frames").string();
  {
    CoutCapture quiet;
    p.process_videos_to_frames(table_for(path, "61", "rec"));
  }
  const std::vector<int> seen = times_saved(p.output_dir_base + "/20240105/rec", frames);
  EXPECT_EQ(seen[0], 0);  // the first range's detection frame
  for (int i = 1; i < frames; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], 1) << "frame " << i;
}

// A range that stops early is not finalised, so a rerun tries it again; the
// batch says which range and why, and goes on.
// Sets every sample duration of the MP4 at `path` to zero (its "stts" box),
// as broken muxers and copies write them: all frames get one time stamp.
void zero_sample_durations(const std::string& path) {
  std::string bytes = testing::slurp(path);
  const std::size_t box = bytes.find("stts");
  ASSERT_NE(box, std::string::npos);
  const auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
  };
  const std::uint32_t entries = u32(box + 8);  // after "stts", version/flags
  for (std::uint32_t e = 0; e < entries; ++e) bytes.replace(box + 16 + 8 * e, 4, std::string(4, '\0'));
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST_F(VideoTest, RecordingWhoseTimeStampsDoNotAdvanceSavesEveryFrameOnceInOrder) {
  if (std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  const int frames = 120;
  const std::string source = (dir_ / "source.avi").string(), path = (dir_ / "stuck.mp4").string();
  ASSERT_TRUE(write_numbered_avi(source, frames));
  const std::string command = "ffmpeg -hide_banner -loglevel error -y -i " + source +
                              " -c:v libx264 -preset veryfast -crf 12 -bf 0 -g 25 -pix_fmt yuv420p " + path;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  zero_sample_durations(path);
  VideoProcessor p;
  p.crop = false;
  p.time_step = Number(0.01);
  p.output_dir_base = (dir_ / "frames").string();
  {
    CoutCapture quiet;
    p.process_videos_to_frames(table_for(path, "61", "rec"));
  }
  int ranges = 0;
  std::vector<int> seen = times_saved(p.output_dir_base + "/20240105/rec", frames, &ranges);
  EXPECT_GT(ranges, 5);
  EXPECT_EQ(seen[0], 0);  // the first range's detection frame
  // The muxer's rate here is 12.42 frames per second and ranges are cut at
  // whole-rate frame numbers (12 per second); the last range still runs to
  // the recording's real last frame.
  for (int i = 1; i < frames; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], 1) << "frame " << i;
}

// Recordings whose rate is not a whole number (NTSC's 29.97, a variable-rate
// camera averaging 14.98): whole-rate range bounds end short of the
// recording, yet every frame after the first detection frame is saved once,
// and every range but the last keeps today's bounds and numbering.
class FractionalRateTest : public VideoTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FractionalRateTest, LastRangeRunsToTheRealLastFrame) {
  if (std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  const int frames = 200;
  const std::string source = (dir_ / "source.avi").string(), path = (dir_ / "fractional.mp4").string();
  ASSERT_TRUE(write_numbered_avi(source, frames));
  const std::string command = "ffmpeg -hide_banner -loglevel error -y -r " + std::string(GetParam()) + " -i " +
                              source + " -c:v libx264 -preset veryfast -crf 12 -bf 0 -g 25 -pix_fmt yuv420p " + path;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  VideoProcessor p;
  p.crop = false;
  p.time_step = Number(0.05);
  p.output_dir_base = (dir_ / "frames").string();
  {
    CoutCapture quiet;
    p.process_videos_to_frames(table_for(path, "61", "rec"));
  }
  const std::string rec = p.output_dir_base + "/20240105/rec";
  const std::vector<int> seen = times_saved(rec, frames);
  EXPECT_EQ(seen[0], 0);
  for (int i = 1; i < frames; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], 1) << "frame " << i;
  // The first range holds whole-rate frames 1 .. 60 * 0.05 * int(rate).
  const internal::VideoReader reader(path);
  const auto whole_rate = static_cast<int>(reader.fps());
  const auto first_range = static_cast<int>(std::lround(60 * 0.05 * whole_rate));
  int first_count = 0;
  for ([[maybe_unused]] const auto& f : fs::directory_iterator(rec + "/0min_to_0.05min/right_cropped_frames")) {
    ++first_count;
  }
  EXPECT_EQ(first_count, first_range);
  EXPECT_EQ(index_of(cv::imread(rec + "/0min_to_0.05min/right_cropped_frames/0000.jpg", cv::IMREAD_GRAYSCALE)), 1);
}

INSTANTIATE_TEST_SUITE_P(Rates, FractionalRateTest, ::testing::Values("30000/1001", "1498/100"),
                         [](const auto& info) { return info.index == 0 ? "Ntsc2997" : "Average1498"; });

TEST_F(VideoTest, RangeCutShortIsLeftUnfinished) {
  const std::string v = small_video(50);  // no orange region anywhere
  VideoProcessor p;
  p.output_dir_base = (dir_ / "frames").string();
  p.time_step = 1.0 / 60;  // 25 frames per range
  CoutCapture cap;
  const ExtractionSummary s = p.process_videos_to_frames(table_for(v, "61", "vid"));
  EXPECT_EQ(s.ranges_unfinished, 2);
  EXPECT_EQ(s.ranges_written, 0);
  EXPECT_FALSE(s.complete());
  const std::string first = p.output_dir_base + "/20240105/vid/0min_to_" + format_number(1.0 / 60) +
                            "min/right_cropped_frames";
  EXPECT_FALSE(fs::exists(first));
  EXPECT_NE(cap.text().find("Leaving " + first + " unfinished: no orange region was found on its first frame"),
            std::string::npos)
      << cap.text();
  // Both ranges were tried: the batch went on after the first.
  const std::string out = cap.text();
  EXPECT_NE(out.find("Leaving", out.find("Leaving") + 1), std::string::npos) << out;
}

// A file whose data ends before its header says (a copy in progress): the
// range that reaches past the real data is left unfinished.
TEST_F(VideoTest, TruncatedRecordingLeavesItsLastRangesUnfinished) {
  const std::string path = (dir_ / "cut.avi").string();
  {
    cv::VideoWriter w(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(32, 32));
    for (int i = 0; i < 100; ++i) w.write(numbered_frame(i));
  }
  fs::resize_file(path, fs::file_size(path) / 2);
  VideoProcessor p;
  p.crop = false;
  p.output_dir_base = (dir_ / "frames").string();
  p.time_step = 1.0 / 60;
  CoutCapture cap;
  p.process_videos_to_frames(table_for(path, "61", "cut"));
  if (cap.text().find("Total frames: 100.0") == std::string::npos) {
    GTEST_SKIP() << "the decoder does not report the header's frame count for a truncated file:\n" << cap.text();
  }
  EXPECT_NE(cap.text().find("unfinished: the video ended at frame"), std::string::npos) << cap.text();
  EXPECT_TRUE(fs::exists(p.output_dir_base + "/20240105/cut/0min_to_" + format_number(1.0 / 60) +
                         "min/right_cropped_frames"));
}

// One decoding pass per recording: a batch of consecutive ranges saves the
// very bytes and prints the very lines that extracting each range on its own
// (a fresh reader, a seek to the range's start) does, for every kind of
// recording; and it opens each recording once and seeks only to a range that
// does not start where the last one stopped.
struct PassCase {
  const char* name;
  const char* ffmpeg_args;  // re-encodes the numbered MJPG recording; nullptr keeps it
  const char* extension;
  bool zero_durations = false;
  double time_step = 0.01;
  friend void PrintTo(const PassCase& c, std::ostream* os) { *os << c.name; }
};

class OnePassTest : public VideoTest, public ::testing::WithParamInterface<PassCase> {
 protected:
  std::string recording(int frames) {
    const PassCase& c = GetParam();
    const std::string source = (dir_ / "source.avi").string();
    EXPECT_TRUE(write_numbered_avi(source, frames));
    if (c.ffmpeg_args == nullptr) return source;
    if (std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") != 0) return "";
    const std::string path = (dir_ / (std::string("rec.") + c.extension)).string();
    const std::string command = "ffmpeg -hide_banner -loglevel error -y -i " + source + " " + c.ffmpeg_args + " " + path;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    if (c.zero_durations) zero_sample_durations(path);
    return path;
  }
};

// Returns the number a folder name shows ("0" an integer, "0.01" a double).
Number number_of(const std::string& text) {
  if (text.find_first_of(".en") == std::string::npos) return Number(static_cast<std::int64_t>(std::stoll(text)));
  return Number(std::stod(text));
}

// Returns every file under `dir` (relative name -> bytes).
std::map<std::string, std::string> files_under(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = testing::slurp(e.path());
  }
  return out;
}

TEST_P(OnePassTest, SavesWhatRangeByRangeExtractionSavesDecodingOnce) {
  const std::string path = recording(300);
  if (path.empty()) GTEST_SKIP() << "ffmpeg is not installed";
  VideoProcessor batch;
  batch.crop = false;
  batch.time_step = Number(GetParam().time_step);
  batch.output_dir_base = (dir_ / "batch").string();
  const ReaderCountsDelta counted;
  std::string printed;
  {
    CoutCapture cap;
    batch.process_videos_to_frames(table_for(path, "61", "rec"));
    printed = cap.text();
  }
  const internal::ReaderCounts used = counted.delta();
  EXPECT_EQ(used.opens, 1) << "one decoder per recording";
  EXPECT_EQ(used.seeks, 0) << "consecutive ranges go on from where the last stopped";

  // The same ranges one by one, each with its own reader.
  const fs::path root = dir_ / "batch" / "20240105" / "rec";
  int ranges = 0;
  for (const auto& range : fs::directory_iterator(root)) {
    const std::string name = range.path().filename().string();
    const std::size_t cut = name.find("min_to_");
    VideoProcessor one;
    const fs::path out = dir_ / "alone" / name;
    std::string alone;
    {
      CoutCapture cap;
      one.crop_video_to_frames(path, out.string(), number_of(name.substr(0, cut)),
                               number_of(name.substr(cut + 7, name.size() - cut - 7 - 3)), "61", false);
      alone = cap.text();
    }
    EXPECT_EQ(files_under(range.path() / "right_cropped_frames"), files_under(out)) << name;
    // Its lines, naming the batch's folder, appear in the batch's output as they are.
    std::string expected = alone;
    for (std::size_t at; (at = expected.find(out.string())) != std::string::npos;) {
      expected.replace(at, out.string().size(), (range.path() / "right_cropped_frames").string());
    }
    EXPECT_NE(printed.find(expected), std::string::npos) << name << ":\n" << expected;
    ++ranges;
  }
  EXPECT_GT(ranges, 5);

  // A rerun that finds all but one range finished seeks once, to that range.
  const fs::path redo = *std::next(fs::directory_iterator(root), 2);
  const auto before = files_under(redo);
  fs::remove_all(redo);
  const ReaderCountsDelta rerun;
  {
    CoutCapture quiet;
    batch.process_videos_to_frames(table_for(path, "61", "rec"));
  }
  EXPECT_EQ(rerun.delta().opens, GetParam().zero_durations ? 2 : 1);  // counting recordings reopen to seek
  EXPECT_EQ(rerun.delta().seeks, 1);
  EXPECT_EQ(files_under(redo), before);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, OnePassTest,
    ::testing::Values(
        PassCase{"mjpg_every_frame_a_key_frame", nullptr, "avi"},
        PassCase{"h264_key_frame_every_50", "-c:v libx264 -preset veryfast -crf 18 -bf 2 -g 50 -pix_fmt yuv420p", "mp4"},
        PassCase{"h264_one_key_frame", "-c:v libx264 -preset veryfast -crf 18 -bf 3 -g 1000 -pix_fmt yuv420p", "mkv"},
        PassCase{"mpeg4_part2", "-c:v mpeg4 -q:v 3 -g 30", "avi"},
        PassCase{"uneven_rate",
                 "-vf \"settb=1/1000,setpts='if(lt(N,100),N*40,if(lt(N,200),4000+(N-100)*100,14000+(N-200)*20))/1000/TB'\" "
                 "-fps_mode passthrough -enc_time_base:v 1:1000 -c:v libx264 -preset veryfast -crf 12 -bf 2 -g 25 "
                 "-pix_fmt yuv420p",
                 "mp4"},
        PassCase{"time_stamps_that_do_not_advance", "-c:v libx264 -preset veryfast -crf 12 -bf 0 -g 25 -pix_fmt yuv420p",
                 "mp4", true},
        PassCase{"fractional_minute_ranges", nullptr, "avi", false, 0.0037}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadSettingCase {
  const char* name;
  std::function<void(VideoProcessor&, const std::string& video, const fs::path& dir)> run;
  const char* message_part;
  friend void PrintTo(const BadSettingCase& c, std::ostream* os) { *os << c.name; }
};

class BadSettingTest : public VideoTest, public ::testing::WithParamInterface<BadSettingCase> {};

TEST_P(BadSettingTest, FailsNamingTheSetting) {
  const std::string v = small_video(30);
  VideoProcessor p;
  p.crop = false;
  p.output_dir_base = (dir_ / "frames").string();
  CoutCapture quiet;
  try {
    GetParam().run(p, v, dir_);
    FAIL() << "expected an error";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message_part), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, BadSettingTest,
    ::testing::Values(
        BadSettingCase{"minutes_beyond_64_bits",
                       [](VideoProcessor& p, const std::string& v, const fs::path& d) {
                         p.crop_video_to_frames(v, (d / "o").string(), Number(std::int64_t{1} << 57),
                                                Number(std::int64_t{1} << 58), std::nullopt, false);
                       },
                       "start_min 144115188075855872 gives no usable frame number"},
        BadSettingCase{"non_finite_minutes",
                       [](VideoProcessor& p, const std::string& v, const fs::path& d) {
                         p.crop_video_to_frames(v, (d / "o").string(), 0, Number(1e308 * 10), std::nullopt, false);
                       },
                       "end_min inf gives no usable frame number"},
        BadSettingCase{"resize_width_overflow",
                       [](VideoProcessor& p, const std::string& v, const fs::path& d) {
                         p.resize_dim = std::pair<int, int>{0, 2000000000};
                         p.crop_video_to_frames(v, (d / "o").string(), 0, 0.01, std::nullopt, false);
                       },
                       "resize_dim height 2000000000 gives a width of"},
        BadSettingCase{"time_step_below_one_frame",
                       [](VideoProcessor& p, const std::string& v, const fs::path&) {
                         p.time_step = 0.0001;
                         p.process_videos_to_frames(table_for(v, "61", "vid"));
                       },
                       "time_step 0.0001 minutes is shorter than one frame interval"},
        BadSettingCase{"output_base_is_a_file",
                       [](VideoProcessor& p, const std::string& v, const fs::path& d) {
                         std::ofstream(d / "file") << "x";
                         p.output_dir_base = (d / "file").string();
                         p.process_videos_to_frames(table_for(v, "61", "vid"));
                       },
                       "/file' is not a folder"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VideoTest, FramesAreWrittenWithoutLeftoverTemporaries) {
  const std::string v = small_video(30);
  VideoProcessor p;
  CoutCapture quiet;
  p.crop_video_to_frames(v, (dir_ / "o").string(), 0, 0.01, std::nullopt, false);
  EXPECT_EQ(count_files(dir_ / "o"), 15);
  for (const auto& f : fs::directory_iterator(dir_ / "o")) {
    EXPECT_EQ(f.path().filename().string().rfind(".pelk-", 0), std::string::npos) << f.path();
    EXPECT_FALSE(cv::imread(f.path().string()).empty()) << f.path();
  }
}

}  // namespace
}  // namespace pelk
