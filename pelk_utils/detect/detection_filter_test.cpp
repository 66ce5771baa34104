#include "pelk_utils/detect/detection_filter.hpp"

#include <gtest/gtest.h>

namespace pelk {
namespace {

DetectionResult result(std::vector<Box> boxes, std::vector<std::string> labels) {
  DetectionResult r;
  r.boxes = std::move(boxes);
  r.labels = std::move(labels);
  for (std::size_t i = 0; i < r.boxes.size(); ++i) r.scores.push_back(0.1f * static_cast<float>(i + 1));
  return r;
}

TEST(ProcessGdinoResultsTest, SortsTopToBottomThenLeftToRightStably) {
  const auto f = process_gdino_results({result({{0, 50, 5, 60}, {300, 10, 310, 20}, {20, 10, 30, 20}, {20, 10, 40, 30}},
                                               {"pig", "pig", "pig", "pig"})});
  ASSERT_EQ(f.boxes.size(), 4u);
  EXPECT_EQ(f.boxes[0], (Box{20, 10, 30, 20}));
  EXPECT_EQ(f.boxes[1], (Box{20, 10, 40, 30}));  // equal (y, x): input order kept
  EXPECT_EQ(f.boxes[2], (Box{300, 10, 310, 20}));
  EXPECT_EQ(f.boxes[3], (Box{0, 50, 5, 60}));
  EXPECT_FLOAT_EQ(f.scores[0], 0.3f);  // scores travel with their boxes
  EXPECT_FLOAT_EQ(f.scores[3], 0.1f);
}

TEST(ProcessGdinoResultsTest, KeepsExactLabelOnly) {
  const auto f = process_gdino_results({result({{0, 0, 1, 1}, {0, 1, 1, 2}, {0, 2, 1, 3}}, {"pig", "pig pen", "pig"})});
  EXPECT_EQ(f.labels, (std::vector<std::string>{"pig", "pig"}));
  EXPECT_EQ(f.boxes[1], (Box{0, 2, 1, 3}));
}

TEST(ProcessGdinoResultsTest, KeepsAllWhenTargetOccursNowhere) {
  const auto f = process_gdino_results({result({{0, 5, 1, 6}, {0, 1, 1, 2}}, {"animal", "pen"})});
  EXPECT_EQ(f.labels, (std::vector<std::string>{"pen", "animal"}));
}

TEST(ProcessGdinoResultsTest, EmptyAndMalformedInput) {
  EXPECT_TRUE(process_gdino_results({DetectionResult{}}).boxes.empty());
  EXPECT_THROW(process_gdino_results({}), std::out_of_range);
  DetectionResult bad = result({{0, 0, 1, 1}}, {"pig"});
  bad.scores.clear();
  EXPECT_THROW(process_gdino_results({bad}), std::invalid_argument);
}

}  // namespace
}  // namespace pelk
