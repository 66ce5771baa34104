// Annotation files from a bad day: identities and frame numbers beyond 32
// bits, numbers that would overflow a conversion, hostile nesting, files
// that are not files. Every case must fail with a message naming the file
// (and detection), or load without wrapping a value.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/annotation/polygon_masks.hpp"
#include "pelk_utils/annotation/render.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::CoutCapture;
using testing::slurp;

class HostileAnnotationTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    image_ = path("frame.png");
    cv::imwrite(image_, cv::Mat3b(20, 40, cv::Vec3b(10, 20, 30)));
  }
  // Writes an annotation file whose single detection has `detection_body`.
  std::string annotation(const std::string& name, const std::string& detection_body) {
    std::ofstream(path(name)) << R"({"image_path": ")" << image_ << R"(", "detections": [{)" << detection_body
                              << "}]}";
    return path(name);
  }
  std::string image_;
};

struct IdentityCase {
  const char* name;
  const char* object_id;
  const char* message_part;  // empty: loads
  std::int64_t box_number;
  friend void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.name << " (object_id " << c.object_id << ")"; }
};

class IdentityRangeTest : public HostileAnnotationTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(IdentityRangeTest, KeepsOrRefusesNeverWraps) {
  const std::string file = annotation("output_pp_1.json", std::string("\"object_id\": ") + GetParam().object_id +
                                                              R"(, "xyxy": [], "formatted_polygon": ["p 0 0 0.5 0 0.5 0.5"])");
  const std::string expected = GetParam().message_part;
  for (const auto& read : std::vector<std::function<void()>>{
           [&] { EXPECT_EQ(process_json_and_generate_masks(file, 20, 40).boxkeys.at(0), GetParam().box_number); },
           [&] { retrieve_annotation(file, std::nullopt, true); }}) {
    if (expected.empty()) {
      EXPECT_NO_THROW(read());
      continue;
    }
    try {
      read();
      ADD_FAILURE() << "expected an error";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("'" + file + "', detection 0"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Identities, IdentityRangeTest,
    ::testing::Values(IdentityCase{"beyond_32_bits", "4294967297", "", 4294967296},
                      IdentityCase{"int64_max", "9223372036854775807", "", 9223372036854775806},
                      IdentityCase{"int64_min", "-9223372036854775808", "has no box number", 0},
                      IdentityCase{"uint64_max", "18446744073709551615", "outside the signed 64-bit range", 0},
                      IdentityCase{"fractional", "1.5", "is not an integer", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileAnnotationTest, IdentitiesBeyond32BitsStaySeparateInTheClip) {
  annotation("output_pp_0.json", R"("object_id": 1, "xyxy": [], "formatted_polygon": ["p 0 0 0.5 0 0.5 0.5"]}, {"object_id": 4294967297, "xyxy": [], "formatted_polygon": ["p 0.5 0.5 1 0.5 1 1"])");
  const AnnotationData data = get_pelk_annotation_data("", false, 0, dir_.string());
  ASSERT_TRUE(data.last_frame);
  EXPECT_EQ(data.last_frame->masks_dict.keys(), (std::vector<std::string>{"Box0", "Box4294967296"}));
}

TEST_F(HostileAnnotationTest, FrameNumbersBeyond32BitsLoad) {
  const std::string file = annotation("output_pp_2147483648.json", R"("object_id": 1, "xyxy": [], "formatted_polygon": [])");
  EXPECT_EQ(frame_index_of(file), std::int64_t{2147483648});
  const AnnotationData data = get_pelk_annotation_data("", false, 0, dir_.string());
  ASSERT_TRUE(data.last_frame);
  EXPECT_EQ(data.last_frame->frame_index, std::int64_t{2147483648});
  EXPECT_THROW(frame_index_of(path("output_pp_99999999999999999999.json")), std::invalid_argument);
}

TEST_F(HostileAnnotationTest, DrawingRefusesCornersAndVerticesItCannotConvert) {
  const std::string box = annotation("a.json", R"("object_id": 1, "xyxy": [[0, 0, 3e9, 5]], "formatted_polygon": [])");
  try {
    retrieve_annotation(box, std::nullopt, true);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'" + box + "', detection 0: \"xyxy\" corner 3000000000.0"), std::string::npos)
        << e.what();
  }
  const std::string far = annotation("b.json", R"("object_id": 1, "xyxy": [], "formatted_polygon": ["p 0 0 1e300 0 0 1"])");
  try {
    retrieve_annotation(far);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'" + far + "', detection 0, polygon 0: vertex 1"), std::string::npos)
        << e.what();
  }
}

// A name that passes the file-name test but is not a regular file (or a
// link to one) would lose that frame without a word, or block on reading:
// the clip refuses to load and names the path and what it is.
struct NotAFileCase {
  const char* name;
  std::function<void(const fs::path&)> make;  // makes the entry at the path
  const char* kind;
};
void PrintTo(const NotAFileCase& c, std::ostream* os) { *os << c.name; }

class NotAFileTest : public HostileAnnotationTest, public ::testing::WithParamInterface<NotAFileCase> {};

TEST_P(NotAFileTest, ClipLoaderNamesThePath) {
  annotation("output_pp_0.json", R"("object_id": 1, "xyxy": [], "formatted_polygon": [])");
  GetParam().make(dir_ / "output_pp_1.json");
  const std::string bad = path("output_pp_1.json");
  for (const auto& load : std::vector<std::function<void()>>{
           [&] { list_annotation_files(dir_.string()); },
           [&] { CoutCapture quiet; get_pelk_annotation_data("", false, 0, dir_.string()); }}) {
    try {
      load();
      ADD_FAILURE() << "expected an error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("'" + bad + "' is not a readable regular file"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(GetParam().kind), std::string::npos) << e.what();
    }
  }
  // Named directly, they are refused rather than read forever.
  EXPECT_THROW(process_json_and_generate_masks(bad, 20, 40), std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, NotAFileTest,
    ::testing::Values(
        NotAFileCase{"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "a FIFO"},
        NotAFileCase{"dangling_link", [](const fs::path& p) { fs::create_symlink(p.string() + ".gone", p); },
                     "a dangling symbolic link"},
        NotAFileCase{"link_to_device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
                     "a character device"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileAnnotationTest, LinksToFilesLoadAndOtherNamesAreIgnored) {
  const std::string real = annotation("elsewhere.json.txt", R"("object_id": 1, "xyxy": [], "formatted_polygon": [])");
  fs::create_symlink(real, dir_ / "output_pp_0.json");
  ASSERT_EQ(::mkfifo(path("notes.fifo").c_str(), 0600), 0);  // fails the name test: never looked at
  fs::create_symlink("/nowhere", dir_ / "readme.txt");
  EXPECT_EQ(list_annotation_files(dir_.string()), std::vector<std::string>{path("output_pp_0.json")});
}

// An unknown key holding deep nesting used to make the repair allocate
// gigabytes; it is refused before anything is built.
TEST_F(HostileAnnotationTest, RepairRefusesDeepNestingAndKeepsTheFile) {
  const std::string file = annotation(
      "a.json", R"("object_id": 1, "junk": )" + std::string(40000, '[') + std::string(40000, ']') +
                    R"(, "formatted_polygon": ["p 0 0 1 1 0 1"])");
  const std::string before = slurp(file);
  try {
    fix_polygon_scaling(file);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'" + file + "' nests"), std::string::npos) << e.what();
  }
  EXPECT_EQ(slurp(file), before);
}

// Keys the repair does not change keep their values digit for digit, as the
// file's other (Python) writer writes them.
TEST_F(HostileAnnotationTest, RepairKeepsUntouchedNumbersAsPythonWritesThem) {
  const std::string file = annotation(
      "a.json", R"("object_id": 123456789012345678901234567890, "xyxy": [[1e15, 0.1, 2.50, 1E2]], "formatted_polygon": ["p 1e70 0"])");
  fix_polygon_scaling(file);
  const std::string text = slurp(file);
  EXPECT_NE(text.find("\"object_id\": 123456789012345678901234567890,"), std::string::npos) << text;
  EXPECT_NE(text.find("1000000000000000.0,\n                    0.1,\n                    2.5,\n                    100.0"),
            std::string::npos)
      << text;
  // 1e70 * 20 / 40 with six decimals, every digit of it.
  EXPECT_NE(text.find("\"p 5000000000000000" ), std::string::npos) << text;
  EXPECT_NE(text.find(".000000 0.000000\""), std::string::npos) << text;
  EXPECT_GT(text.size(), 200u);
}

}  // namespace
}  // namespace pelk
