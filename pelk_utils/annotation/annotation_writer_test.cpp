#include "pelk_utils/annotation/annotation_writer.hpp"

#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pelk_utils/annotation/polygon_masks.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {

class AnnotationWriterTest : public testing::ScratchDirTest {};

TEST_F(AnnotationWriterTest, FramePathThatIsNotUtf8IsNamedAndNothingIsWritten) {
  const std::string folder = std::string("clip_") + '\xff' + "_a";  // a Latin-1 folder name on Linux
  const std::string file = path("output_pp_0.json");
  try {
    write_annotation_file(file, folder + "/0000.jpg", {});
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "the frame path 'clip_\\xFF_a/0000.jpg' is not valid UTF-8, which an annotation file "
                           "(JSON) cannot store; rename the folder or file to UTF-8 (for example with convmv) and run "
                           "again");
  }
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_NO_THROW(annotation_document("klip_\xc3\xa9/0000.jpg", {}));  // UTF-8 is fine
}

// Masks written as polygons read back as the same pixels (solid blobs,
// some touching the frame border, one empty).
TEST_F(AnnotationWriterTest, MasksRoundTripThroughTheFile) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> x(-10, 130), y(-10, 90), r(3, 30);
  const cv::Size frame(120, 80);
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<AnnotatedObject> objects;
    for (int k = 0; k < 3; ++k) {
      cv::Mat1b m = cv::Mat1b::zeros(frame);
      if (k < 2) cv::ellipse(m, {x(rng), y(rng)}, {r(rng), r(rng)}, 25.0 * trial, 0, 360, 1, cv::FILLED);
      objects.push_back({k + 1, Mask(m)});
    }
    write_annotation_file(path("output_pp_3.json"), "frame.png", objects);
    const PolygonMasks back = process_json_and_generate_masks(path("output_pp_3.json"), frame.height, frame.width);
    ASSERT_EQ(back.masks.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(back.boxkeys[k], static_cast<std::int64_t>(k));
      ASSERT_EQ(back.masks[k], objects[k].mask) << "trial " << trial << " object " << k;
    }
  }
}

TEST_F(AnnotationWriterTest, DocumentHoldsBoxesOnlyForVisibleObjects) {
  cv::Mat1b m = cv::Mat1b::zeros(10, 20);
  m(cv::Rect(2, 3, 4, 5)).setTo(1);
  const std::string doc = annotation_document("f.jpg", {{7, Mask(m)}, {8, Mask(cv::Mat1b::zeros(10, 20))}});
  EXPECT_NE(doc.find("\"object_id\": 7"), std::string::npos);
  EXPECT_NE(doc.find("2.0,\n                    3.0,\n                    5.0,\n                    7.0"), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"xyxy\": [],\n            \"formatted_polygon\": []"), std::string::npos) << doc;
}

}  // namespace
}  // namespace pelk
