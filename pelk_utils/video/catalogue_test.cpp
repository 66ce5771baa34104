#include "pelk_utils/video/catalogue.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::CoutCapture;

class CatalogueTest : public testing::ScratchDirTest {
 protected:

  // One recording per sub-folder, so the listing order is the sub-folder order.
  std::vector<std::string> recordings(const std::vector<std::string>& names) {
    std::vector<std::string> subs;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::string sub = "d" + std::to_string(i);
      fs::create_directories(dir_ / sub);
      std::ofstream(dir_ / sub / names[i]);
      subs.push_back(sub);
    }
    return subs;
  }
  std::vector<std::string> names(const CatalogueTable& t) const {
    std::vector<std::string> out;
    for (const auto& r : t) out.push_back(r.video_name);
    return out;
  }
  std::vector<std::size_t> labels(const CatalogueTable& t) const {
    std::vector<std::size_t> out;
    for (const auto& r : t) out.push_back(r.label);
    return out;
  }

};

std::string rec(int camera, int hhmmss) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "Camera%d_1_20240105%06d.mp4", camera, hhmmss);
  return buf;
}

TEST_F(CatalogueTest, RowsColumnsAndPrintedLine) {
  const auto subs = recordings({rec(61, 70000), rec(61, 100000)});
  VideoMetadata m{dir_.string(), subs};
  m.sample_step = 0;
  CoutCapture cap;
  const CatalogueTable t = m.get_filtered_video_dataframe();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0], (CatalogueRow{0, "61", "20240105", "07:00:00", dir_.string() + "/d0/" + rec(61, 70000),
                                "Camera61_1_20240105070000"}));
  EXPECT_EQ(cap.text(), "['" + t[0].file_path + "', '" + t[1].file_path + "']\n");
}

TEST_F(CatalogueTest, WindowBoundsAreExclusiveAndBadNamesSkipped) {
  const auto subs = recordings({rec(61, 60000), rec(61, 60001), rec(61, 170000), rec(61, 165959),
                                "camera61_1_20240105070000.mp4", "Camera61_1_2024010507000.mp4",
                                "Camera61_1_20240105070000.MP4", "Camera61_1_20240105070000.avi"});
  VideoMetadata m{.base_dir = dir_.string(), .sub_dirs = subs, .sample_step = 0};
  m.sub_dirs.push_back("missing");
  CoutCapture cap;
  EXPECT_EQ(names(m.get_filtered_video_dataframe()),
            (std::vector<std::string>{"Camera61_1_20240105060001", "Camera61_1_20240105165959"}));
}

struct ThinCase {
  const char* name;
  int step;
  int top_n;
  std::optional<std::string> camera;
  std::vector<std::size_t> labels;
};

class ThinningTest : public CatalogueTest, public ::testing::WithParamInterface<ThinCase> {};

TEST_P(ThinningTest, KeepsLabels) {
  // Seven windowed recordings, cameras 61 and 62 interleaved, and one outside the window.
  const auto subs = recordings({rec(61, 70000), rec(62, 70000), rec(61, 80000), rec(62, 80000), rec(61, 50000),
                                rec(61, 90000), rec(62, 90000), rec(61, 100000)});
  VideoMetadata m{dir_.string(), subs};
  m.sample_step = GetParam().step;
  m.top_n = GetParam().top_n;
  m.camera_number = GetParam().camera;
  CoutCapture cap;
  EXPECT_EQ(labels(m.get_filtered_video_dataframe()), GetParam().labels);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ThinningTest,
    ::testing::Values(ThinCase{"default_step", 3, -1, std::nullopt, {0, 3, 7}},
                      ThinCase{"step_zero_keeps_all", 0, -1, std::nullopt, {0, 1, 2, 3, 5, 6, 7}},
                      ThinCase{"negative_step_from_last", -3, -1, std::nullopt, {7, 3, 0}},
                      ThinCase{"thinning_before_camera", 2, -1, std::string("62"), {}}, ThinCase{"thinning_before_camera_61", 2, -1, std::string("61"), {0, 2, 5, 7}},
                      ThinCase{"camera_text_must_match", 0, -1, std::string("061"), {}},
                      ThinCase{"top_n_two", 0, 2, std::nullopt, {0, 1}},
                      ThinCase{"top_n_zero_keeps_all", 3, 0, std::nullopt, {0, 3, 7}},
                      ThinCase{"top_n_minus_one_keeps_all", 3, -1, std::nullopt, {0, 3, 7}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CatalogueTest, EmptyCataloguePrintsEmptyList) {
  VideoMetadata m{dir_.string(), {"nothing"}};
  CoutCapture cap;
  EXPECT_TRUE(m.get_filtered_video_dataframe().empty());
  EXPECT_EQ(cap.text(), "[]\n");
}

TEST_F(CatalogueTest, FoldersThatAreFilesAreNamed) {
  std::ofstream(dir_ / "base_file") << "x";
  std::ofstream(dir_ / "sub_file") << "x";
  const std::vector<std::pair<VideoMetadata, std::string>> cases = {
      {VideoMetadata{(dir_ / "base_file").string(), {"cam61"}}, "base '" + (dir_ / "base_file").string() + "' is not a folder"},
      {VideoMetadata{dir_.string(), {"sub_file"}}, "sub-folder '" + (dir_ / "sub_file").string() + "' is not a folder"}};
  for (const auto& [metadata, message] : cases) {
    try {
      metadata.get_filtered_video_dataframe();
      ADD_FAILURE() << message;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

TEST_F(CatalogueTest, BadPatternIsRejected) {
  VideoMetadata m{dir_.string(), {}};
  m.match_pattern = "Camera(";
  EXPECT_THROW(m.get_filtered_video_dataframe(), std::invalid_argument);
}

TEST_F(CatalogueTest, ListAllFilesSortsFilesBeforeSubfolders) {
  for (const char* f : {"d/b/x.json", "d/a.json", "d/a/y.json", "d/a/z.txt"}) {
    fs::create_directories((dir_ / f).parent_path());
    std::ofstream(dir_ / f);
  }
  const std::string d = (dir_ / "d").string();
  EXPECT_EQ(list_all_files(d, ".json"), (std::vector<std::string>{d + "/a.json", d + "/a/y.json", d + "/b/x.json"}));
  EXPECT_EQ(list_all_files(d).size(), 4u);
  EXPECT_TRUE(list_all_files(d + "/none").empty());
}

}  // namespace
}  // namespace pelk

namespace pelk {
namespace {

// The listing order depends on the file system (here: the order of the
// sub-folders given); in time order the same recordings are kept whatever it
// is, and the thinning counts in order of camera, date and time.
TEST_F(CatalogueTest, InTimeOrderKeepsTheSameRecordingsWhateverTheListingOrder) {
  std::vector<std::string> all = {rec(9, 70000),  rec(61, 90000), rec(61, 70000), rec(61, 80000),
                                  rec(62, 70000), rec(61, 100000), rec(9, 80000), rec(62, 80000)};
  // In order: 9 at 7 and 8 h, 61 at 7, 8, 9 and 10 h, 62 at 7 and 8 h; every 3rd.
  const std::vector<std::string> expected = {"Camera9_1_20240105070000", "Camera61_1_20240105080000",
                                             "Camera62_1_20240105070000"};
  std::mt19937 shuffle(3);
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::shuffle(all.begin(), all.end(), shuffle);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    VideoMetadata m{dir_.string(), recordings(all)};
    m.sample_step = 3;
    CatalogueTable table;
    {
      CoutCapture quiet;
      table = get_video_dataframe_in_time_order(m);
    }
    EXPECT_EQ(names(table), expected) << "listing order " << attempt;
    EXPECT_EQ(labels(table), (std::vector<std::size_t>{0, 3, 6})) << "labels count in time order";
  }
}

}  // namespace
}  // namespace pelk
