#include "pelk_utils/core/number.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace pelk {
namespace {

struct DoubleCase {
  double value;
  const char* text;
};

class FormatDoubleTest : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(FormatDoubleTest, WritesAsPythonRepr) { EXPECT_EQ(format_number(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Repr, FormatDoubleTest,
    ::testing::Values(DoubleCase{25.0, "25.0"}, DoubleCase{0.1 + 0.2, "0.30000000000000004"},
                      DoubleCase{2.0, "2.0"}, DoubleCase{0.0, "0.0"}, DoubleCase{-0.0, "-0.0"},
                      DoubleCase{-2.5, "-2.5"}, DoubleCase{1e15, "1000000000000000.0"}, DoubleCase{1e16, "1e+16"},
                      DoubleCase{1.5e16, "1.5e+16"}, DoubleCase{0.0001, "0.0001"}, DoubleCase{0.00001, "1e-05"},
                      DoubleCase{1.5e-7, "1.5e-07"}, DoubleCase{123456.789, "123456.789"},
                      DoubleCase{1e100, "1e+100"}, DoubleCase{5e-324, "5e-324"},
                      DoubleCase{std::numeric_limits<double>::infinity(), "inf"},
                      DoubleCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      DoubleCase{std::nan(""), "nan"}, DoubleCase{0.4, "0.4"}, DoubleCase{1.0 / 3, "0.3333333333333333"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(FormatNumberTest, IntegersArePlain) {
  EXPECT_EQ(format_number(10), "10");
  EXPECT_EQ(format_number(std::int64_t{-7}), "-7");
}

TEST(NumberTest, RemembersIntegerOrFloat) {
  EXPECT_EQ(Number(2).text(), "2");
  EXPECT_EQ(Number(2.0).text(), "2.0");
  EXPECT_TRUE((Number(2) + Number(3)).is_integer());
  EXPECT_FALSE((Number(2) + Number(0.5)).is_integer());
  EXPECT_EQ((Number(0.1) + Number(0.2)).text(), "0.30000000000000004");
  EXPECT_EQ((Number(0) + Number(2.0)).text(), "2.0");
  Number t = 0;
  t += 2;
  EXPECT_EQ(t.text(), "2");
}

TEST(NumberTest, ComparesByValue) {
  EXPECT_EQ(Number(2), Number(2.0));
  EXPECT_LT(Number(0.30000000000000004), Number(0.4));
  EXPECT_GT(Number(12), Number(11.5));
}

}  // namespace
}  // namespace pelk
