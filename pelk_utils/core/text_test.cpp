#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/csv.hpp"
#include "pelk_utils/core/path.hpp"
#include "pelk_utils/core/py_text.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;

struct ReprCase {
  std::string in, out;
};

class PythonReprTest : public ::testing::TestWithParam<ReprCase> {};

TEST_P(PythonReprTest, Writes) { EXPECT_EQ(python_repr(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(Strings, PythonReprTest,
                         ::testing::Values(ReprCase{"a/b.mp4", "'a/b.mp4'"}, ReprCase{"C:\\v\\x.mp4", "'C:\\\\v\\\\x.mp4'"},
                                           ReprCase{"it's", "\"it's\""}, ReprCase{"a'b\"c", "'a\\'b\"c'"},
                                           ReprCase{"tab\there", "'tab\\there'"}, ReprCase{"", "''"},
                                           ReprCase{std::string("\x01", 1), "'\\x01'"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

struct Utf8Case {
  const char* name;
  std::string text;
  bool valid;
  const char* escaped;
  friend void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, ChecksAndEscapes) {
  EXPECT_EQ(is_utf8(GetParam().text), GetParam().valid);
  EXPECT_EQ(escape_non_utf8(GetParam().text), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Utf8Test,
    ::testing::Values(Utf8Case{"ascii", "a/b.jpg", true, "a/b.jpg"},
                      Utf8Case{"two_byte", "\xc3\xa9", true, "\xc3\xa9"},
                      Utf8Case{"four_byte", "\xf0\x9f\x90\x96", true, "\xf0\x9f\x90\x96"},
                      Utf8Case{"latin1", "a\xe9" "b", false, "a\\xE9b"},
                      Utf8Case{"lone_continuation", "\x80", false, "\\x80"},
                      Utf8Case{"overlong_slash", "\xc0\xaf", false, "\\xC0\\xAF"},
                      Utf8Case{"surrogate", "\xed\xa0\x80", false, "\\xED\\xA0\\x80"},
                      Utf8Case{"above_max", "\xf4\x90\x80\x80", false, "\\xF4\\x90\\x80\\x80"},
                      Utf8Case{"cut_short", "ok\xe2\x82", false, "ok\\xE2\\x82"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JoinPathTest, JoinsAsPythonDoes) {
  EXPECT_EQ(join_path("a", "b"), "a/b");
  EXPECT_EQ(join_path("a/", "b"), "a/b");
  EXPECT_EQ(join_path("a", "/b"), "/b");
  EXPECT_EQ(join_path("", "b"), "b");
}

TEST(PythonListReprTest, JoinsWithCommaSpace) {
  EXPECT_EQ(python_list_repr({}), "[]");
  EXPECT_EQ(python_list_repr({"a", "b\\c"}), "['a', 'b\\\\c']");
}

TEST(CsvTest, QuotesOnlyWhenNeededAndLeavesMissingEmpty) {
  EXPECT_EQ(csv_text({"a", "b,c"}, {{std::string("1"), std::nullopt}, {std::string("say \"hi\""), std::string("x")}}),
            "a,\"b,c\"\n1,\n\"say \"\"hi\"\"\",x\n");
}

using AtomicFileTest = testing::ScratchDirTest;
using testing::slurp;

TEST_F(AtomicFileTest, ReplacesContentAndLeavesNoTemporaryFile) {
  const fs::path p = dir_ / "out.csv";
  write_file_atomically(p.string(), "old");
  write_csv(p.string(), {"h"}, {{std::string("v")}});
  EXPECT_EQ(slurp(p), "h\nv\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(AtomicFileTest, FailureNamesPathAndKeepsOldFile) {
  const fs::path p = dir_ / "keep.txt";
  write_file_atomically(p.string(), "old");
  // A directory in the way of the rename: the write must fail and keep nothing half-done.
  const fs::path blocked = dir_ / "sub";
  fs::create_directories(blocked / "inner");
  try {
    write_file_atomically(blocked.string(), "new");
    FAIL() << "expected std::runtime_error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(blocked.string()), std::string::npos);
  }
  EXPECT_TRUE(fs::is_directory(blocked));
  EXPECT_EQ(slurp(p), "old");
  EXPECT_THROW(write_file_atomically((dir_ / "missing" / "x.txt").string(), "y"), std::runtime_error);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace pelk
