#include "pelk_utils/annotation/identity_swap.hpp"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::CoutCapture;
using testing::slurp;

Mask square(int x) { return Mask(cv::Size(80, 30), cv::Rect(x, 5, 10, 10), cv::Mat1b(10, 10, uchar{1})); }

class IdentitySwapTest : public testing::ScratchDirTest {
 protected:
  // Six frames, object ids 1, 2 and 3.
  void SetUp() override {
    ScratchDirTest::SetUp();
    cv::imwrite(path("frame.png"), cv::Mat3b(30, 80, cv::Vec3b(9, 9, 9)));
    fs::create_directories(dir_ / "clip");
    for (int f = 0; f < 6; ++f) {
      write_annotation_file(file(f), path("frame.png"), {{1, square(0)}, {2, square(30)}, {3, square(60)}});
    }
    CoutCapture quiet;
    clip_ = *get_pelk_annotation_data("", false, 0, clip_dir()).pelk_annotation_data;
    for (int f = 0; f < 6; ++f) before_.push_back(slurp(file(f)));
  }
  std::string clip_dir() const { return path("clip"); }
  std::string file(int f) const { return path("clip/output_pp_" + std::to_string(f) + ".json"); }
  // The box key that holds the square at column `x` in frame `f`.
  std::string box_at(int f, int x) {
    CoutCapture quiet;
    const ClipAnnotationData now = *get_pelk_annotation_data("", false, 0, clip_dir()).pelk_annotation_data;
    for (const auto& [key, mask] : now.at(f).masks_dict) {
      if (mask == square(x)) return key;
    }
    return "";
  }
  ClipAnnotationData clip_;
  std::vector<std::string> before_;
};

TEST_F(IdentitySwapTest, ExchangesIdsAfterTheFrameAndUndoRestoresEveryByte) {
  const std::vector<FileChange> changes = plan_identity_swaps(clip_, {{2, 1, 2}});
  ASSERT_EQ(changes.size(), 3u);  // frames 3, 4 and 5
  apply_file_changes(clip_dir(), changes, "test");
  EXPECT_EQ(repair_status(clip_dir()).state, RepairState::kApplied);
  EXPECT_EQ(box_at(2, 0), "Box0");
  EXPECT_EQ(box_at(3, 0), "Box1");
  EXPECT_EQ(box_at(3, 30), "Box0");
  EXPECT_EQ(box_at(5, 60), "Box2");
  for (int f = 0; f < 3; ++f) EXPECT_EQ(slurp(file(f)), before_[static_cast<std::size_t>(f)]) << f;
  // The manifest and backups are not annotation files of the clip.
  EXPECT_EQ(list_annotation_files(clip_dir()).size(), 6u);

  EXPECT_EQ(undo_file_changes(clip_dir()), 3u);
  for (int f = 0; f < 6; ++f) EXPECT_EQ(slurp(file(f)), before_[static_cast<std::size_t>(f)]) << f;
  EXPECT_FALSE(fs::exists(fs::path(clip_dir()) / kRepairManifest));
  EXPECT_FALSE(fs::exists(fs::path(clip_dir()) / kRepairBackupDir));
  EXPECT_EQ(undo_file_changes(clip_dir()), 0u);
}

TEST_F(IdentitySwapTest, SwapsInOrderAndSwapsThatCancelChangeNothing) {
  EXPECT_TRUE(plan_identity_swaps(clip_, {{1, 1, 2}, {1, 2, 1}}).empty());
  apply_file_changes(clip_dir(), plan_identity_swaps(clip_, {{1, 1, 2}, {3, 2, 3}}), "test");
  EXPECT_EQ(box_at(2, 0), "Box1");   // first swap only
  EXPECT_EQ(box_at(4, 0), "Box2");   // then 2 and 3: the square at 0 (id 2 by then) becomes id 3
  EXPECT_EQ(box_at(4, 60), "Box1");
}

TEST_F(IdentitySwapTest, AFileChangedDuringTheRepairLeavesEveryFileAsItWas) {
  const std::vector<FileChange> changes = plan_identity_swaps(clip_, {{0, 1, 3}});
  std::ofstream(file(4)) << before_[4] << " ";  // another program writes meanwhile
  const std::string changed = slurp(file(4));
  try {
    apply_file_changes(clip_dir(), changes, "test");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("'" + file(4) + "' changed during the repair; every file is back as it was"),
              std::string::npos) << e.what();
  }
  for (int f = 0; f < 6; ++f) EXPECT_EQ(slurp(file(f)), f == 4 ? changed : before_[static_cast<std::size_t>(f)]) << f;
  EXPECT_FALSE(fs::exists(fs::path(clip_dir()) / kRepairManifest));
}

TEST_F(IdentitySwapTest, UndoRefusesWhenARepairedFileChangedAndASecondRepairIsRefused) {
  apply_file_changes(clip_dir(), plan_identity_swaps(clip_, {{0, 1, 2}}), "test");
  EXPECT_THROW(apply_file_changes(clip_dir(), plan_identity_swaps(clip_, {{0, 2, 3}}), "again"), std::invalid_argument);
  const std::string repaired = slurp(file(3));
  std::ofstream(file(3)) << "{}";
  try {
    undo_file_changes(clip_dir());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("'" + file(3) + "' changed since the repair; nothing was restored"),
              std::string::npos) << e.what();
  }
  EXPECT_NE(slurp(file(2)), before_[2]);  // nothing restored
  std::ofstream(file(3)) << repaired;
  EXPECT_EQ(undo_file_changes(clip_dir()), 5u);
  for (int f = 0; f < 6; ++f) EXPECT_EQ(slurp(file(f)), before_[static_cast<std::size_t>(f)]) << f;
}

TEST(SwapObjectIdsTest, ExchangesOnlyTheTwoIdsAndKeepsOtherValues) {
  const std::string text = R"({"image_path": "a.png", "detections": [{"object_id": 1, "xyxy": [[1.50, 2, 3, 4]]}, )"
                           R"({"object_id": 12345678901234567890123}, {"object_id": 2}, {"object_id": 3}]})";
  const std::string out = swap_object_ids(text, 1, 2, "t");
  EXPECT_NE(out.find("\"object_id\": 2,\n"), std::string::npos) << out;
  EXPECT_NE(out.find("12345678901234567890123"), std::string::npos) << out;
  EXPECT_NE(out.find("1.5"), std::string::npos) << out;
  EXPECT_LT(out.find("\"object_id\": 2"), out.find("\"object_id\": 1")) << out;
  EXPECT_NE(out.find("\"object_id\": 3"), std::string::npos);
  EXPECT_THROW(swap_object_ids("[]", 1, 2, "t"), std::invalid_argument);
  EXPECT_THROW(swap_object_ids("{", 1, 2, "t"), std::invalid_argument);
}

}  // namespace
}  // namespace pelk
