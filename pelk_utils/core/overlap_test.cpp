#include "pelk_utils/core/overlap.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

struct IouCase {
  const char* name;
  Box a, b;
  double iou;
};

class IouTest : public ::testing::TestWithParam<IouCase> {};

TEST_P(IouTest, Computes) {
  EXPECT_DOUBLE_EQ(calculate_iou(GetParam().a, GetParam().b), GetParam().iou);
  EXPECT_DOUBLE_EQ(calculate_iou(GetParam().b, GetParam().a), GetParam().iou);
}

INSTANTIATE_TEST_SUITE_P(Boxes, IouTest,
                         ::testing::Values(IouCase{"identical", {0, 0, 10, 10}, {0, 0, 10, 10}, 1.0},
                                           IouCase{"shared_edge", {0, 0, 10, 10}, {10, 0, 20, 10}, 0.0},
                                           IouCase{"shared_corner", {0, 0, 10, 10}, {10, 10, 20, 20}, 0.0},
                                           IouCase{"half", {0, 0, 10, 10}, {5, 0, 15, 10}, 50.0 / 150.0},
                                           IouCase{"nested", {0, 0, 10, 10}, {2, 2, 7, 7}, 0.25},
                                           IouCase{"degenerate", {5, 5, 5, 5}, {5, 5, 5, 5}, 0.0},
                                           IouCase{"negative_union", {10, 10, 0, 0}, {10, 10, 0, 0}, 0.0},
                                           IouCase{"fractional", {0.5, 0, 1.5, 1}, {1, 0, 2, 1}, 0.5 / 1.5}),
                         [](const auto& info) { return std::string(info.param.name); });

// A frame with two rectangular masks.
Mask rect_mask(cv::Size frame, cv::Rect r) {
  cv::Mat1b m = cv::Mat1b::zeros(frame);
  m(r & cv::Rect(cv::Point(), frame)).setTo(1);
  return Mask(m);
}

TEST(MasksIntersectionTest, EmptyFirstMaskGivesZero) {
  const cv::Size f(20, 20);
  EXPECT_EQ(calculate_masks_intersection(Mask(cv::Mat1b::zeros(f)), rect_mask(f, {0, 0, 20, 20})), 0.0);
  EXPECT_DOUBLE_EQ(calculate_masks_intersection(rect_mask(f, {0, 0, 10, 10}), rect_mask(f, {5, 0, 10, 10})), 50.0);
}

TEST(MasksIntersectionTest, NewUsesGivenAreasAndGuardsZero) {
  const cv::Size f(20, 20);
  const Mask a = rect_mask(f, {0, 0, 10, 10}), b = rect_mask(f, {5, 5, 10, 10});
  const auto [r1, r2] = calculate_masks_intersection_new(a, b, 100, 0);
  EXPECT_DOUBLE_EQ(r1, 25.0);
  EXPECT_EQ(r2, 0.0);
  EXPECT_DOUBLE_EQ(calculate_masks_intersection_new(a, b, 50, 25).result_2, 100.0);
}

TEST(IntersectionBetweenMasksTest, EmptyAndSingle) {
  EXPECT_TRUE(intersection_between_masks(MaskDict{}).empty());
  MaskDict one;
  one.insert_or_assign("Box0", rect_mask({8, 8}, {0, 0, 4, 4}));
  const IntersectionsTable t = intersection_between_masks(one, mask_areas(one));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t.at(0, 0), 0.0);
}

// Every cell, row by row, for any table: an empty one (all boxes removed)
// has none, and a table built on a view of a larger matrix reads only its own.
TEST(IntersectionsTableTest, CellsOfEmptyAndViewTables) {
  EXPECT_TRUE(intersection_between_masks(MaskDict{}).cells().empty());
  EXPECT_TRUE(IntersectionsTable().cells().empty());
  const cv::Mat1d big = (cv::Mat1d(3, 3) << 0, 1, 2, 3, 4, 5, 6, 7, 8);
  const IntersectionsTable view({"Box0", "Box1"}, big(cv::Rect(1, 1, 2, 2)));
  const std::span<const double> cells = view.cells();
  EXPECT_EQ(std::vector<double>(cells.begin(), cells.end()), (std::vector<double>{4, 5, 7, 8}));
}

TEST(IntersectionBetweenMasksTest, NestedMasksInInsertionOrder) {
  const cv::Size f(40, 40);
  MaskDict dict;
  dict.insert_or_assign("B", rect_mask(f, {0, 0, 20, 20}));   // area 400
  dict.insert_or_assign("A", rect_mask(f, {5, 5, 10, 10}));   // area 100, inside B
  const IntersectionsTable t = intersection_between_masks(dict, mask_areas(dict));
  EXPECT_EQ(t.keys(), (std::vector<std::string>{"B", "A"}));
  EXPECT_DOUBLE_EQ(t.at("A", "B"), 100.0);
  EXPECT_DOUBLE_EQ(t.at("B", "A"), 25.0);
  EXPECT_EQ(t.at("A", "A"), 0.0);
  EXPECT_EQ(t.at("B", "B"), 0.0);
  EXPECT_THROW(t.at("C", "A"), std::out_of_range);
}

TEST(IntersectionBetweenMasksTest, SkipRuleTestsOnlyTheLaterKeysArea) {
  const cv::Size f(40, 40);
  const Mask one_pixel = rect_mask(f, {19, 19, 1, 1});
  const Mask big = rect_mask(f, {0, 0, 20, 20});
  MaskDict small_first;
  small_first.insert_or_assign("A", one_pixel);
  small_first.insert_or_assign("B", big);
  const IntersectionsTable t1 = intersection_between_masks(small_first, mask_areas(small_first));
  EXPECT_DOUBLE_EQ(t1.at("B", "A"), 0.25);
  EXPECT_DOUBLE_EQ(t1.at("A", "B"), 100.0);

  MaskDict big_first;
  big_first.insert_or_assign("B", big);
  big_first.insert_or_assign("A", one_pixel);
  const IntersectionsTable t2 = intersection_between_masks(big_first, mask_areas(big_first));
  EXPECT_EQ(t2.at("B", "A"), 0.0);
  EXPECT_EQ(t2.at("A", "B"), 0.0);
}

TEST(IntersectionBetweenMasksTest, MissingAreasAreCountedHere) {
  const cv::Size f(30, 30);
  MaskDict dict;
  dict.insert_or_assign("Box0", rect_mask(f, {0, 0, 10, 10}));
  dict.insert_or_assign("Box1", rect_mask(f, {5, 0, 10, 10}));
  dict.insert_or_assign("Box2", rect_mask(f, {20, 20, 5, 5}));
  EXPECT_EQ(intersection_between_masks(dict), intersection_between_masks(dict, mask_areas(dict)));
}

TEST(IntersectionBetweenMasksTest, IncompleteAreaMappingNamesTheKey) {
  const cv::Size f(10, 10);
  MaskDict dict;
  dict.insert_or_assign("Box0", rect_mask(f, {0, 0, 5, 5}));
  dict.insert_or_assign("Box1", rect_mask(f, {2, 2, 5, 5}));
  AreaMap areas;
  areas.insert_or_assign("Box0", 25);
  try {
    intersection_between_masks(dict, areas);
    FAIL() << "expected std::out_of_range";
  } catch (const std::out_of_range& e) {
    EXPECT_NE(std::string(e.what()).find("Box1"), std::string::npos);
  }
}

TEST(OrderedMapTest, ReinsertKeepsFirstPosition) {
  OrderedMap<std::string, int> m;
  m.insert_or_assign("b", 1);
  m.insert_or_assign("a", 2);
  m.insert_or_assign("b", 3);
  EXPECT_EQ(m.keys(), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(m.at("b"), 3);
  EXPECT_TRUE(m.erase("b"));
  EXPECT_EQ(m.keys(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(m.at("a"), 2);
  EXPECT_THROW(m.at("b"), std::out_of_range);
}

}  // namespace
}  // namespace pelk
