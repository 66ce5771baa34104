#include "pelk_utils/video/internal/video_reader.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk::internal {
namespace {
namespace fs = std::filesystem;

constexpr int kFrames = 40;

// Frame `i` of the test videos: a textured background and a bright square
// that moves 6 px per frame, so every frame differs from its neighbours.
cv::Mat3b numbered_frame(int i, cv::Size size) {
  cv::Mat3b f(size);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) f(y, x) = cv::Vec3b(x * 2 % 256, y * 3 % 256, (x + y) % 256);
  }
  cv::rectangle(f, cv::Rect(6 * i % (size.width - 16), 20, 16, 16), cv::Scalar(0, 140, 255), cv::FILLED);
  return f;
}

struct VideoCase {
  const char* name;
  const char* file;
  int fourcc;          // written by cv::VideoWriter with this codec, or
  const char* x264;    // transcoded by ffmpeg with these options when set
  double fps;
  cv::Size size = {160, 96};
};

void PrintTo(const VideoCase& c, std::ostream* os) { *os << c.name << " (" << c.file << " at " << c.fps << " fps)"; }

bool have_ffmpeg() { return std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") == 0; }

fs::path video_dir() { return fs::temp_directory_path() / "pelk_video_reader_test"; }

// Writes the case's video once per run and returns its path ("" when ffmpeg
// is needed and missing).
std::string make_video(const VideoCase& c) {
  static std::map<std::string, std::string> made;
  if (const auto it = made.find(c.name); it != made.end()) return it->second;
  fs::create_directories(video_dir());
  const cv::Size size = c.size;
  const std::string source = (video_dir() / (std::string(c.name) + "_source.avi")).string();
  const std::string path = (video_dir() / c.file).string();
  {
    cv::VideoWriter w(c.x264 ? source : path, c.fourcc, c.fps, size);
    EXPECT_TRUE(w.isOpened()) << c.name;
    for (int i = 0; i < kFrames; ++i) w.write(numbered_frame(i, size));
  }
  if (c.x264) {
    if (!have_ffmpeg()) return made[c.name] = "";
    const std::string command = "ffmpeg -hide_banner -loglevel error -y -i " + source + " -c:v libx264 " + c.x264 +
                                " -pix_fmt yuv420p " + path;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
  return made[c.name] = path;
}

class VideoReaderTest : public ::testing::TestWithParam<VideoCase> {
 protected:
  void SetUp() override {
    path_ = make_video(GetParam());
    if (path_.empty()) GTEST_SKIP() << "ffmpeg is not installed (scripts/setup installs it)";
  }
  std::string path_;
};

double max_difference(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return 1e9;
  double m = 0;
  cv::minMaxLoc(cv::abs(a - b), nullptr, &m);
  return m;
}

TEST_P(VideoReaderTest, ReportsRateAndCountAsOpenCvDoes) {
  const VideoReader reader(path_);
  ASSERT_TRUE(reader.is_open());
  cv::VideoCapture cap(path_, cv::CAP_FFMPEG);
  ASSERT_TRUE(cap.isOpened());
  EXPECT_DOUBLE_EQ(reader.fps(), cap.get(cv::CAP_PROP_FPS));
  EXPECT_DOUBLE_EQ(reader.frame_count(), cap.get(cv::CAP_PROP_FRAME_COUNT));
}

TEST_P(VideoReaderTest, ReadsEveryFrameAsOpenCvDoes) {
  VideoReader reader(path_);
  cv::VideoCapture cap(path_, cv::CAP_FFMPEG);
  cv::Mat expected;
  int n = 0;
  while (cap.read(expected)) {
    ASSERT_TRUE(reader.read()) << "frame " << n;
    EXPECT_EQ(max_difference(reader.bgr(cv::Rect({0, 0}, reader.frame_size())), expected), 0) << "frame " << n;
    ++n;
  }
  EXPECT_FALSE(reader.read());
  EXPECT_EQ(n, kFrames);
}

TEST_P(VideoReaderTest, SeeksToTheFrameOpenCvSeeksTo) {
  for (const int target : {-3, 0, 1, 2, 11, 12, 13, 25, kFrames - 1, kFrames, kFrames + 5}) {
    VideoReader reader(path_);
    cv::VideoCapture cap(path_, cv::CAP_FFMPEG);
    reader.seek(target);
    cap.set(cv::CAP_PROP_POS_FRAMES, target);
    cv::Mat expected;
    const bool has_frame = cap.read(expected);
    ASSERT_EQ(reader.read(), has_frame) << "seek to " << target;
    if (!has_frame) continue;
    EXPECT_EQ(max_difference(reader.bgr(cv::Rect({0, 0}, reader.frame_size())), expected), 0) << "seek to " << target;
    // Reading goes on from there in order.
    ASSERT_TRUE(reader.read() == cap.read(expected));
    if (!expected.empty() && target + 1 < kFrames) {
      EXPECT_EQ(max_difference(reader.bgr(cv::Rect({0, 0}, reader.frame_size())), expected), 0)
          << "frame after " << target;
    }
  }
}

// A reader can be used again after the end of its stream: seeking back
// starts over (a reused reader must not stay at the end).
TEST_P(VideoReaderTest, RewindsAfterTheEnd) {
  VideoReader reader(path_);
  ASSERT_TRUE(reader.read());
  const cv::Mat first = reader.bgr(cv::Rect({0, 0}, reader.frame_size()));
  std::vector<cv::Mat> frames{first};
  while (reader.read()) frames.push_back(reader.bgr(cv::Rect({0, 0}, reader.frame_size())));
  for (const int target : {0, 5, 0, kFrames + 3, 0}) {
    while (reader.read()) {
    }
    reader.seek(target);
    const bool has_frame = reader.read();
    ASSERT_EQ(has_frame, target < kFrames) << "seek to " << target << " after the end";
    if (has_frame) {
      EXPECT_EQ(max_difference(reader.bgr(cv::Rect({0, 0}, reader.frame_size())), frames[target]), 0) << target;
    }
  }
}

TEST_P(VideoReaderTest, RegionsMatchTheWholeFrameCut) {
  VideoReader reader(path_);
  ASSERT_TRUE(reader.read());
  const cv::Mat whole = reader.bgr(cv::Rect({0, 0}, reader.frame_size()));
  // Odd corners and sizes, regions touching each edge, and random ones.
  const int w = whole.cols, h = whole.rows;
  std::vector<cv::Rect> regions = {{0, 0, w, h},   {40, 20, 64, 48},   {2, 4, w - 3, h - 5}, {3, 5, 60, 40},
                                   {2, 4, 97, 51}, {w - 9, 0, 9, h},   {0, h - 1, w, 1},     {w - 1, 1, 1, 1}};
  cv::RNG rng(7);
  for (int i = 0; i < 200; ++i) {
    const int x = rng.uniform(0, w), y = rng.uniform(0, h);
    regions.emplace_back(x, y, rng.uniform(1, w + 1 - x), rng.uniform(1, h + 1 - y));
  }
  for (const cv::Rect& region : regions) {
    ASSERT_EQ(max_difference(reader.bgr(region), whole(region)), 0) << region;
  }
}

TEST_P(VideoReaderTest, PlanesEncodeToTheSamePictureAsBgr) {
  VideoReader reader(path_);
  ASSERT_TRUE(reader.read());
  for (const cv::Rect region : {cv::Rect({0, 0}, reader.frame_size()), cv::Rect(40, 20, 64, 48), cv::Rect(2, 4, 97, 51)}) {
    const std::optional<FrameRegion> part = reader.yuv420(region);
    if (!part) {
      GTEST_SKIP() << "the decoder's frames are not 4:2:0";
    }
    const std::string jpeg = encode_jpeg(part->planes());
    const cv::Mat decoded = cv::imdecode(cv::Mat(1, static_cast<int>(jpeg.size()), CV_8U, const_cast<char*>(jpeg.data())),
                                         cv::IMREAD_COLOR);
    std::vector<unsigned char> reference_bytes;
    cv::imencode(".jpg", reader.bgr(region), reference_bytes);
    const cv::Mat reference = cv::imdecode(reference_bytes, cv::IMREAD_COLOR);
    ASSERT_EQ(decoded.size(), region.size());
    // Both went through one 4:2:0 JPEG; they differ only by rounding.
    cv::Mat diff;
    cv::absdiff(decoded, reference, diff);
    EXPECT_LT(cv::mean(diff)[0], 1.5) << region;
    EXPECT_LT(cv::norm(diff, cv::NORM_INF), 24) << region;
  }
  EXPECT_FALSE(reader.yuv420(cv::Rect(1, 0, 10, 10)).has_value());
  EXPECT_FALSE(reader.yuv420(cv::Rect(0, 3, 10, 10)).has_value());
}

// Strip-wise encoding reads rows in place or through a strip buffer; either
// way the JPEG is byte for byte that of the padded planes, at widths that
// are and are not multiples of 16 and at odd corners.
TEST_P(VideoReaderTest, StripEncodingEqualsEncodingThePaddedPlanes) {
  VideoReader reader(path_);
  for (int frame = 0; frame < 3 && reader.read(); ++frame) {
    for (const cv::Rect region : {cv::Rect({0, 0}, reader.frame_size()), cv::Rect(40, 20, 64, 48),
                                  cv::Rect(2, 4, 97, 51), cv::Rect(16, 2, 96, 50), cv::Rect(0, 0, 32, 2)}) {
      const std::optional<FrameRegion> part = reader.yuv420(region);
      if (!part) GTEST_SKIP() << "the decoder's frames are not 4:2:0";
      for (const int quality : {95, 60}) {
        ASSERT_EQ(part->jpeg(quality), encode_jpeg(part->planes(), quality)) << region << " at quality " << quality;
      }
    }
  }
}

// A region is handed to a writer thread while decoding goes on: it must keep
// its frame's pixels after the reader has moved on and even after it closed.
TEST_P(VideoReaderTest, RegionsOutliveTheReader) {
  std::optional<FrameRegion> kept;
  Yuv420Image at_once;
  {
    VideoReader reader(path_);
    ASSERT_TRUE(reader.read());
    kept = reader.yuv420(cv::Rect(8, 8, 64, 48));
    if (!kept) GTEST_SKIP() << "the decoder's frames are not 4:2:0";
    at_once = kept->planes();
    while (reader.read()) {
    }
  }
  const Yuv420Image later = kept->planes();
  for (const auto& [a, b] : {std::pair{at_once.y, later.y}, {at_once.cb, later.cb}, {at_once.cr, later.cr}}) {
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, VideoReaderTest,
    ::testing::Values(VideoCase{"mpeg4_part2", "mp4v.mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v'), nullptr, 25},
                      // Sides that are not multiples of 16 (the decoder pads its buffers).
                      VideoCase{"mpeg4_odd_sides", "mp4v_150.mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v'), nullptr,
                                25, {150, 90}},
                      VideoCase{"motion_jpeg", "mjpg.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), nullptr, 29.97},
                      VideoCase{"h264_b_frames", "h264.mp4", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                                "-preset veryfast -bf 3 -g 12", 25},
                      VideoCase{"h264_ntsc_rate", "h264_ntsc.mkv", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                                "-preset veryfast -bf 2 -g 8 -r 30000/1001", 29.97},
                      VideoCase{"h264_odd_sides", "h264_150.mp4", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                                "-preset veryfast -bf 3 -g 12", 25, {150, 90}},
                      // Full range: the decoder gives YUVJ420P, whose rows the encoder reads in place.
                      VideoCase{"h264_full_range", "h264_full.mp4", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                                "-preset veryfast -bf 2 -g 12 -color_range pc", 25, {160, 96}}),
    [](const auto& info) { return std::string(info.param.name); });

class VideoReaderFileTest : public testing::ScratchDirTest {};

TEST_F(VideoReaderFileTest, NonVideosDoNotOpen) {
  std::ofstream(path("notes.mp4")) << "not a video";
  std::ofstream(path("empty.avi"));
  for (const std::string name : {"missing.mp4", "notes.mp4", "empty.avi"}) {
    EXPECT_FALSE(VideoReader(path(name)).is_open()) << name;
  }
  EXPECT_FALSE(VideoReader(dir_.string()).is_open());
}

// Damaged data in the middle of a recording (a bad disk block, a broken
// copy) costs the frames it hits, not the rest of the recording.
TEST_F(VideoReaderFileTest, DamagedFramesAreSkipped) {
  const VideoCase motion_jpeg{"motion_jpeg", "mjpg.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), nullptr, 29.97};
  std::string bytes = testing::slurp(make_video(motion_jpeg));
  for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; i += 7) bytes[i] = static_cast<char>(0xFF);
  std::ofstream(path("damaged.avi"), std::ios::binary) << bytes;
  int opencv_read = 0;
  cv::VideoCapture cap(path("damaged.avi"), cv::CAP_FFMPEG);
  for (cv::Mat f; cap.read(f);) ++opencv_read;
  VideoReader reader(path("damaged.avi"));
  ASSERT_TRUE(reader.is_open());
  int read = 0;
  while (reader.read()) ++read;
  EXPECT_GT(read, kFrames * 3 / 4);
  EXPECT_GE(read, opencv_read);
}

// Recordings whose rate changes (25, then 10, then 50 frames per second):
// frames are numbered by their position in presentation order, so a seek
// to frame k and k reads from the start give the same frame, and ranges cut
// by seeking hold every frame exactly once.
struct UnevenCase {
  const char* name;
  const char* file;
  const char* timing;  // setpts expression, milliseconds of frame N
  friend void PrintTo(const UnevenCase& c, std::ostream* os) { *os << c.name; }
};

class UnevenRateTest : public ::testing::TestWithParam<UnevenCase> {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed (scripts/setup installs it)";
    fs::create_directories(video_dir());
    path_ = (video_dir() / GetParam().file).string();
    const std::string command = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=160x96:rate=25:duration=4 "
                                "-vf \"settb=1/1000,setpts='(" + std::string(GetParam().timing) + ")/1000/TB'\" "
                                "-fps_mode passthrough -enc_time_base:v 1:1000 "
                                "-c:v libx264 -preset veryfast -bf 2 -g 10 -pix_fmt yuv420p " + path_;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  std::string path_;
};

TEST_P(UnevenRateTest, EveryFrameLandsInExactlyOneRange) {
  std::vector<cv::Mat> frames;
  {
    VideoReader reader(path_);
    ASSERT_TRUE(reader.is_open());
    while (reader.read()) frames.push_back(reader.bgr(cv::Rect({0, 0}, reader.frame_size())));
  }
  ASSERT_EQ(frames.size(), 100u);
  const VideoReader counted(path_);
  EXPECT_EQ(counted.frame_count(), 100);
  for (const int step : {7, 13, 30}) {
    std::size_t next = 0;
    for (int start = 0; start < 100; start += step) {
      VideoReader reader(path_);
      reader.seek(start);
      for (int k = start; k < std::min(start + step, 100); ++k) {
        ASSERT_TRUE(reader.read()) << "range from " << start << ", frame " << k;
        ASSERT_EQ(max_difference(reader.bgr(cv::Rect({0, 0}, reader.frame_size())), frames[static_cast<std::size_t>(k)]), 0)
            << "step " << step << ": the range from " << start << " holds another frame at position " << k;
        ++next;
      }
    }
    EXPECT_EQ(next, frames.size());
    VideoReader past(path_);
    past.seek(100);
    EXPECT_FALSE(past.read());
  }
}

// Each frame's own time, as written (the expression, in milliseconds), for
// frame times that a nominal rate would put seconds off.
TEST_P(UnevenRateTest, FrameTimesAreTheFramesOwnStamps) {
  const VideoReader reader(path_);
  ASSERT_TRUE(reader.is_open());
  const std::optional<std::vector<double>> times = reader.uneven_frame_times();
  ASSERT_TRUE(times.has_value());
  ASSERT_EQ(times->size(), 100u);
  const std::string timing = GetParam().timing;
  const auto written_ms = [&](int n) {
    if (timing.rfind("if(lt(N,30)", 0) == 0) return n < 30 ? n * 40 : n < 60 ? 1200 + (n - 30) * 100 : 4200 + (n - 60) * 20;
    return n * 40 + (n > 20 ? 80 : 0) + (n > 70 ? 40 : 0);
  };
  for (const int n : {0, 1, 29, 30, 59, 60, 99}) {
    EXPECT_NEAR((*times)[static_cast<std::size_t>(n)], written_ms(n) / 1000.0, 1e-6) << "frame " << n;
  }
}

TEST(FrameTimesTest, AnEvenRecordingHasNone) {
  const std::string path =
      make_video(VideoCase{"mpeg4_part2", "mp4v.mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v'), nullptr, 25});
  const VideoReader reader(path);
  ASSERT_TRUE(reader.is_open());
  EXPECT_EQ(reader.uneven_frame_times(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, UnevenRateTest,
    ::testing::Values(
        UnevenCase{"mp4_25_10_50", "uneven.mp4", "if(lt(N,30),N*40,if(lt(N,60),1200+(N-30)*100,4200+(N-60)*20))"},
        UnevenCase{"mkv_25_10_50", "uneven.mkv", "if(lt(N,30),N*40,if(lt(N,60),1200+(N-30)*100,4200+(N-60)*20))"},
        UnevenCase{"mp4_dropped_frames", "dropped.mp4", "N*40+if(gt(N,20),80,0)+if(gt(N,70),40,0)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EncodeJpegTest, RefusesPlanesOfTheWrongSize) {
  Yuv420Image image{20, 20, cv::Mat(32, 32, CV_8U, cv::Scalar(128)), cv::Mat(16, 16, CV_8U, cv::Scalar(128)),
                    cv::Mat(16, 16, CV_8U, cv::Scalar(128))};
  EXPECT_FALSE(encode_jpeg(image).empty());
  Yuv420Image narrow = image;
  narrow.cb = cv::Mat(16, 10, CV_8U);
  EXPECT_THROW(encode_jpeg(narrow), std::invalid_argument);
  Yuv420Image unpadded = image;
  unpadded.y = cv::Mat(20, 20, CV_8U);
  EXPECT_THROW(encode_jpeg(unpadded), std::invalid_argument);
  Yuv420Image empty;
  EXPECT_THROW(encode_jpeg(empty), std::invalid_argument);
}

}  // namespace
}  // namespace pelk::internal
