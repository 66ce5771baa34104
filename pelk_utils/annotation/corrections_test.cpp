#include "pelk_utils/annotation/corrections.hpp"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/annotation_writer.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;
using testing::slurp;

Mask square(int x) { return Mask(cv::Size(80, 30), cv::Rect(x, 5, 10, 10), cv::Mat1b(10, 10, uchar{1})); }

// A clip folder "clip" of six frames with Box0, Box1 and Box2.
class CorrectionsTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    cv::imwrite(path("frame.png"), cv::Mat3b(30, 80, cv::Vec3b(9, 9, 9)));
    fs::create_directories(dir_ / "clip");
    for (int f = 0; f < 6; ++f) {
      write_annotation_file(file(f), path("frame.png"), {{1, square(0)}, {2, square(30)}, {3, square(60)}});
      before_.push_back(slurp(file(f)));
    }
  }
  std::string file(int f) const { return path("clip/output_pp_" + std::to_string(f) + ".json"); }
  ClipAnnotationData clip() const {
    testing::CoutCapture quiet;
    return *get_pelk_annotation_data("", false, 0, path("clip")).pelk_annotation_data;
  }
  // A valid corrections file for the clip as it is now.
  json valid() const {
    return {{"format", "pelk corrections"}, {"version", 1}, {"clip", "clip"}, {"fingerprint", clip_fingerprint(clip())},
            {"frames", 6},
            {"decisions", json::array({{{"frame", 3}, {"boxes", {"Box1", "Box0"}}, {"action", "exchange"}, {"source", "verdict"}},
                                       {{"frame", 1}, {"boxes", {"Box2", "Box1"}}, {"action", "keep"}, {"source", "hand"}}})}};
  }
  std::string write(const json& j, const std::string& name = "corrections.json") const {
    std::ofstream(path(name)) << j.dump();
    return path(name);
  }
  std::vector<std::string> before_;
};

TEST_F(CorrectionsTest, ApplyExchangesFromTheFrameOnAndUndoRestoresEveryByte) {
  const CorrectionsApplied dry = apply_corrections(path("clip"), write(valid()), true);
  ASSERT_EQ(dry.swaps.size(), 1u);  // the kept decision changes nothing
  EXPECT_EQ(dry.files_changed, 3u);
  for (int f = 0; f < 6; ++f) EXPECT_EQ(slurp(file(f)), before_[static_cast<std::size_t>(f)]);

  const CorrectionsApplied done = apply_corrections(path("clip"), write(valid()));
  EXPECT_EQ(done.description, "Box0 and Box1 (object ids 1 and 2) from frame 3");
  const ClipAnnotationData now = clip();
  EXPECT_EQ(now.at(2).masks_dict.at("Box0"), square(0));
  EXPECT_EQ(now.at(3).masks_dict.at("Box0"), square(30));
  EXPECT_EQ(now.at(5).masks_dict.at("Box1"), square(0));
  // Applying again is refused: the files changed, and a repair is on them.
  EXPECT_THROW(apply_corrections(path("clip"), write(valid())), std::invalid_argument);
  EXPECT_EQ(undo_file_changes(path("clip")), 3u);
  for (int f = 0; f < 6; ++f) EXPECT_EQ(slurp(file(f)), before_[static_cast<std::size_t>(f)]);
}

TEST_F(CorrectionsTest, AnExchangeEndedByHandLaterRestoresTheKeysFromThere) {
  json j = valid();
  j["decisions"].push_back({{"frame", 5}, {"boxes", {"Box0", "Box1"}}, {"action", "exchange"}, {"source", "hand"}});
  apply_corrections(path("clip"), write(j));
  const ClipAnnotationData now = clip();
  EXPECT_EQ(now.at(4).masks_dict.at("Box0"), square(30));
  EXPECT_EQ(now.at(5).masks_dict.at("Box0"), square(0));
  EXPECT_EQ(slurp(file(5)), before_[5]);
}

// Hostile or mistaken files: each is refused with a one-line reason, and the
// clip is left as it was.
struct HostileCase {
  const char* name;
  void (*edit)(json& j);
  const char* reason;
};
void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileCorrectionsTest : public CorrectionsTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileCorrectionsTest, IsRefusedWithNothingWritten) {
  json j = valid();
  GetParam().edit(j);
  try {
    apply_corrections(path("clip"), write(j));
    ADD_FAILURE() << "not refused";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find(GetParam().reason), std::string::npos) << what;
    EXPECT_NE(what.find("nothing was written"), std::string::npos) << what;
    EXPECT_EQ(what.find('\n'), std::string::npos) << what;
  }
  for (int f = 0; f < 6; ++f) EXPECT_EQ(slurp(file(f)), before_[static_cast<std::size_t>(f)]);
  EXPECT_FALSE(fs::exists(dir_ / "clip" / kRepairManifest));
}

json& decision(json& j) { return j["decisions"][0]; }

const HostileCase kHostile[] = {
    {"another_clip", [](json& j) { j["clip"] = "clip02"; j["fingerprint"] = "0123456789abcdef"; },
     "was made for clip 'clip02', not 'clip'"},
    {"changed_files", [](json& j) { j["fingerprint"] = "0123456789abcdef"; }, "that changed since its review page was made"},
    {"not_corrections", [](json& j) { j = {{"shapes", json::array()}}; }, "is not a corrections file"},
    {"later_version", [](json& j) { j["version"] = 2; }, "has a version this pelk does not know"},
    {"unknown_top_key", [](json& j) { j["apply_to"] = "/etc"; }, "has an unknown key 'apply_to'"},
    {"unknown_decision_key", [](json& j) { decision(j)["path"] = "../x"; }, "has an unknown key 'path' in decision 0"},
    {"frame_past_the_end", [](json& j) { decision(j)["frame"] = 6; }, "names frame 6, which the clip does not have (6 frames)"},
    {"negative_frame", [](json& j) { decision(j)["frame"] = -1; }, "names frame -1"},
    {"fractional_frame", [](json& j) { decision(j)["frame"] = 2.5; }, "has no whole \"frame\""},
    {"unknown_box", [](json& j) { decision(j)["boxes"] = {"Box0", "Box9"}; }, "names box 'Box9'"},
    {"box_with_itself", [](json& j) { decision(j)["boxes"] = {"Box0", "Box0"}; }, "exchanges 'Box0' with itself"},
    {"three_boxes", [](json& j) { decision(j)["boxes"] = {"Box0", "Box1", "Box2"}; }, "has no pair of box keys"},
    {"unknown_action", [](json& j) { decision(j)["action"] = "delete"; }, "has action \"delete\""},
    {"duplicate", [](json& j) { j["decisions"].push_back(decision(j)); }, "lists the decision on Box0 and Box1 at frame 3 twice"},
    {"contradiction",
     [](json& j) {
       json other = decision(j);
       other["action"] = "keep";
       other["boxes"] = {"Box0", "Box1"};
       j["decisions"].push_back(other);
     },
     "contradicts the decision on Box0 and Box1 at frame 3"},
    {"too_many_decisions",
     [](json& j) {
       for (int i = 0; i < 100001; ++i) j["decisions"].push_back(decision(j));
     },
     "has more than 100000 decisions"},
};
INSTANTIATE_TEST_SUITE_P(Files, HostileCorrectionsTest, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CorrectionsTest, HugeAndBrokenFilesAreRefusedBeforeParsing) {
  const std::string huge = path("huge.json");
  {
    std::ofstream out(huge);
    out << "{\"format\": \"pelk corrections\", \"pad\": \"";
    out << std::string(std::size_t{17} << 20, 'x') << "\"}";
  }
  EXPECT_THROW(apply_corrections(path("clip"), huge), std::invalid_argument);
  std::ofstream(path("broken.json")) << "{\"format\": ";
  EXPECT_THROW(apply_corrections(path("clip"), path("broken.json")), std::invalid_argument);
  EXPECT_THROW(apply_corrections(path("clip"), path("missing.json")), std::invalid_argument);
}

TEST_F(CorrectionsTest, ARenamedFolderWithTheSameFilesIsStillItsClip) {
  const std::string made = write(valid());
  fs::rename(dir_ / "clip", dir_ / "clip_renamed");
  EXPECT_EQ(apply_corrections(path("clip_renamed"), made, true).files_changed, 3u);
}

}  // namespace
}  // namespace pelk
