#include "pelk_utils/annotation/clip_loader.hpp"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/testing/annotation_writer.hpp"
#include "pelk_utils/core/stop.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::CoutCapture;
using testing::DetectionSpec;
using testing::write_annotation;

class ClipLoaderTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    fs::create_directories(dir_ / "out");
    image_ = (dir_ / "frame.png").string();
    cv::imwrite(image_, cv::Mat3b(20, 30, cv::Vec3b(1, 2, 3)));
  }

  std::string out() const { return (dir_ / "out").string(); }
  // Writes an annotation file with one square per object id.
  void write(const std::string& relative, std::vector<int> ids = {1}) {
    std::vector<DetectionSpec> dets;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const double x = 0.1 * static_cast<double>(i);
      dets.push_back({ids[i], {{0, 0, 1, 1}},
                      {"p " + std::to_string(x) + " 0 " + std::to_string(x + 0.1) + " 0 " + std::to_string(x + 0.1) +
                       " 0.5 " + std::to_string(x) + " 0.5"}});
    }
    fs::create_directories((dir_ / "out" / relative).parent_path());
    write_annotation((dir_ / "out" / relative).string(), image_, dets);
  }
  std::vector<std::string> relative(const std::vector<std::string>& files) const {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.substr(this->out().size() + 1));
    return out;
  }

  std::string image_;
};

TEST_F(ClipLoaderTest, ListsNumericallyThenSortedSubfoldersSkippingOtherNames) {
  for (const char* f : {"output_pp_2.json", "output_pp_10.json", "output_pp_1.json", "b/output_pp_0.json",
                        "a/output_pp_5.json", "a/deeper/output_pp_4.json", "notes.json", "output_pp_3.JSON",
                        "output_pp_3a.json", "readme_4.txt"}) {
    write(f);
  }
  EXPECT_EQ(relative(list_annotation_files(out())),
            (std::vector<std::string>{"output_pp_1.json", "output_pp_2.json", "output_pp_10.json",
                                      "a/output_pp_5.json", "a/deeper/output_pp_4.json", "b/output_pp_0.json"}));
}

TEST_F(ClipLoaderTest, SymlinkedFoldersAreNotFollowed) {
  write("real/output_pp_1.json");
  fs::create_directory_symlink(dir_ / "out" / "real", dir_ / "out" / "link");
  EXPECT_EQ(relative(list_annotation_files(out())), (std::vector<std::string>{"real/output_pp_1.json"}));
}

TEST_F(ClipLoaderTest, ZeroPaddedNumbersAreEqualAndBothLoaded) {
  write("output_pp_007.json");
  write("output_pp_7.json");
  write("output_pp_6.json");
  const auto files = relative(list_annotation_files(out()));
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0], "output_pp_6.json");
  const AnnotationData data = get_pelk_annotation_data("", false, 0, out());
  EXPECT_EQ(data.pelk_annotation_data->at(1).frame_index, 7);
  EXPECT_EQ(data.pelk_annotation_data->at(2).frame_index, 7);
}

TEST_F(ClipLoaderTest, StopRequestEndsTheLoadAndTheNextLoadIsWhole) {
  for (int i = 0; i < 40; ++i) write("output_pp_" + std::to_string(i) + ".json", {1, 2});
  // An installed check that says stop (the C++ caller's own, e.g. a GUI's cancel button).
  std::atomic<int> asked{0};
  const StopCheck previous = set_stop_check([&] { return ++asked >= 1; });
  EXPECT_THROW(get_pelk_annotation_data("ignored", false, 0, out()), StopRequested);
  set_stop_check(previous);
  const AnnotationData data = get_pelk_annotation_data("ignored", false, 0, out());
  ASSERT_TRUE(data.pelk_annotation_data);
  EXPECT_EQ(data.pelk_annotation_data->size(), 40u);
}

TEST_F(ClipLoaderTest, WholeClipLoadsRecordsWithTables) {
  write("output_pp_1.json", {1, 2});
  write("output_pp_2.json", {2, 1, 2});  // repeated id: later mask, first position
  write("output_pp_3.json", {});
  const AnnotationData data = get_pelk_annotation_data("ignored", false, 0, out());
  ASSERT_TRUE(data.pelk_annotation_data);
  const ClipAnnotationData& clip = *data.pelk_annotation_data;
  ASSERT_EQ(clip.size(), 3u);
  const FrameRecord& second = clip.at(1);
  EXPECT_EQ(second.frame_index, 2);
  EXPECT_EQ(second.masks_dict.keys(), (std::vector<std::string>{"Box1", "Box0"}));
  EXPECT_EQ(second.masks_dict.at("Box1").bounds().x, 6);  // third detection's square, at x = 0.2 * 30
  EXPECT_EQ(second.mask_areas.at("Box1"), second.masks_dict.at("Box1").area());
  EXPECT_EQ(second.json_path, out() + "/output_pp_2.json");
  EXPECT_EQ(second.image_path, image_);
  ASSERT_TRUE(second.intersections_df);
  EXPECT_EQ(second.intersections_df->keys(), second.masks_dict.keys());
  EXPECT_TRUE(clip.at(2).masks_dict.empty());
  EXPECT_TRUE(clip.at(2).intersections_df->empty());
  ASSERT_TRUE(data.last_frame);
  EXPECT_EQ(data.last_frame->frame_index, 3);
  EXPECT_EQ(clip.at(0).masks_dict.at("Box0").size(), cv::Size(30, 20));
}

// The masks-only load: the whole clip's masks, keys and paths, no tables,
// nothing printed, an empty clip for a folder without files, errors alike.
TEST_F(ClipLoaderTest, MasksOnlyLoadEqualsTheWholeLoadWithoutTables) {
  write("output_pp_1.json", {1, 2});
  write("output_pp_2.json", {2, 1, 2});
  write("output_pp_3.json", {});
  CoutCapture cap;
  const ClipAnnotationData whole = *get_pelk_annotation_data("", false, 0, out()).pelk_annotation_data;
  const ClipAnnotationData masks = load_clip_masks(out());
  ASSERT_EQ(masks.size(), whole.size());
  for (const auto& [key, record] : whole) {
    const FrameRecord& m = masks.at(key);
    EXPECT_EQ(m.frame_index, record.frame_index);
    EXPECT_EQ(m.masks_dict.keys(), record.masks_dict.keys());
    for (const auto& [box, mask] : record.masks_dict) EXPECT_TRUE(m.masks_dict.at(box) == mask) << box;
    EXPECT_EQ(m.json_path, record.json_path);
    EXPECT_EQ(m.image_path, record.image_path);
    EXPECT_FALSE(m.intersections_df);
  }
  EXPECT_TRUE(load_clip_masks(out() + "/nope").empty());
  EXPECT_EQ(cap.text(), "");
  std::ofstream(dir_ / "out" / "output_pp_2.json") << "{broken";
  EXPECT_THROW(load_clip_masks(out()), std::invalid_argument);
}

TEST_F(ClipLoaderTest, SingleFileModes) {
  for (int i = 0; i < 3; ++i) write("output_pp_" + std::to_string(i) + ".json");
  const AnnotationData one = get_pelk_annotation_data("", false, 1, out());
  ASSERT_TRUE(one.pelk_annotation_data);
  ASSERT_EQ(one.pelk_annotation_data->size(), 1u);
  EXPECT_FALSE(one.pelk_annotation_data->at(1).intersections_df);
  ASSERT_TRUE(one.last_frame);
  EXPECT_EQ(one.last_frame->frame_index, 1);

  const AnnotationData beyond = get_pelk_annotation_data("", false, 3, out());
  EXPECT_FALSE(beyond.last_frame);
  ASSERT_TRUE(beyond.pelk_annotation_data);
  EXPECT_TRUE(beyond.pelk_annotation_data->empty());

  const AnnotationData negative = get_pelk_annotation_data("", false, -2, out());
  EXPECT_EQ(negative.pelk_annotation_data->size(), 3u);
  EXPECT_TRUE(negative.pelk_annotation_data->at(0).intersections_df);
}

TEST_F(ClipLoaderTest, LastOrNotChecksEveryFileButReturnsTheSame) {
  for (int i = 0; i < 3; ++i) write("output_pp_" + std::to_string(i) + ".json");
  std::ofstream(dir_ / "out" / "output_pp_2.json") << "{broken";
  EXPECT_EQ(get_pelk_annotation_data("", false, 1, out()).last_frame->frame_index, 1);
  EXPECT_THROW(get_pelk_annotation_data("", true, 1, out()), std::invalid_argument);
}

TEST_F(ClipLoaderTest, NoFilesPrintsMessageAndReturnsNulls) {
  CoutCapture cap;
  const AnnotationData none = get_pelk_annotation_data("", false, 0, out());
  EXPECT_FALSE(none.last_frame);
  EXPECT_FALSE(none.pelk_annotation_data);
  const AnnotationData missing = get_pelk_annotation_data("", false, 0, out() + "/nope");
  EXPECT_FALSE(missing.pelk_annotation_data);
  EXPECT_EQ(cap.text(), "No JSON files found in " + out() + ". Please check the directory and try again.\n" +
                            "No JSON files found in " + out() + "/nope. Please check the directory and try again.\n");
}

TEST_F(ClipLoaderTest, BadInputRaises) {
  write("clip_5.json");
  EXPECT_THROW(get_pelk_annotation_data("", false, 0, out()), std::invalid_argument);  // no "output_pp_"
  fs::remove(dir_ / "out" / "clip_5.json");
  write_annotation((dir_ / "out" / "output_pp_1.json").string(), (dir_ / "missing.png").string(), {});
  try {
    get_pelk_annotation_data("", false, 0, out());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("missing.png"), std::string::npos);
  }
}

// Files load on several threads: the clip, and the error of a clip with
// broken files (the first broken one in file order), are the same for
// every thread count.
TEST_F(ClipLoaderTest, ThreadCountChangesNeitherResultsNorErrors) {
  for (int f = 0; f < 23; ++f) write("output_pp_" + std::to_string(f) + ".json", {1, 2 + f % 3, 7});
  const std::vector<std::string> files = list_annotation_files(out());
  const ClipAnnotationData one = internal::load_clip_files(files, {30, 20}, 1);
  ASSERT_EQ(one.size(), 23u);
  for (const unsigned threads : {2u, 3u, 8u, 64u}) {
    const ClipAnnotationData many = internal::load_clip_files(files, {30, 20}, threads);
    ASSERT_EQ(many.size(), one.size()) << threads;
    for (const auto& [key, record] : one) {
      const FrameRecord& other = many.at(key);
      EXPECT_EQ(other.json_path, record.json_path) << threads;
      EXPECT_EQ(other.masks_dict.keys(), record.masks_dict.keys()) << threads;
      for (const auto& [box, mask] : record.masks_dict) EXPECT_EQ(other.masks_dict.at(box), mask) << threads;
      EXPECT_EQ(*other.intersections_df, *record.intersections_df) << threads;
    }
  }
  std::ofstream(dir_ / "out" / "output_pp_9.json") << "{";
  std::ofstream(dir_ / "out" / "output_pp_17.json") << "[";
  for (const unsigned threads : {1u, 2u, 8u}) {
    try {
      internal::load_clip_files(files, {30, 20}, threads);
      ADD_FAILURE() << "expected an error";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("output_pp_9.json"), std::string::npos) << threads << ": " << e.what();
    }
  }
}

TEST(FrameIndexTest, TakesTextAfterLastMarker) {
  EXPECT_EQ(frame_index_of("a/output_pp_3/output_pp_0012.json"), 12);
  EXPECT_THROW(frame_index_of("a/output_pp_x.json"), std::invalid_argument);
  EXPECT_THROW(frame_index_of("a/frame_1.json"), std::invalid_argument);
}

}  // namespace
}  // namespace pelk
