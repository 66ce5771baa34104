// Hostile input and unsafe writes: the guarded JSON reader, the Python-exact
// document writer and atomic replacement, grouped by class of fault.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/json_file.hpp"
#include "pelk_utils/core/py_json.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::slurp;

class JsonReaderTest : public testing::ScratchDirTest {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  // Returns the message of the error read_json_file throws.
  std::string error_of(const std::string& file, const JsonLimits& limits = {}) {
    try {
      read_json_file(file, "test file", limits);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no error";
  }
};

struct BadJsonCase {
  const char* name;
  std::string text;
  const char* message_part;
  friend void PrintTo(const BadJsonCase& c, std::ostream* os) { *os << c.name; }
};

class BadJsonTest : public JsonReaderTest, public ::testing::WithParamInterface<BadJsonCase> {};

TEST_P(BadJsonTest, ErrorNamesTheFileAndTheFault) {
  const std::string file = write("bad.json", GetParam().text);
  const std::string message = error_of(file);
  EXPECT_NE(message.find("test file '" + file + "'"), std::string::npos) << message;
  EXPECT_NE(message.find(GetParam().message_part), std::string::npos) << message;
  EXPECT_THROW(parse_py_json(GetParam().text, "doc"), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, BadJsonTest,
    ::testing::Values(BadJsonCase{"truncated", "{\"a\": [1, 2", "is not valid JSON"},
                      BadJsonCase{"number_overflow", "{\"a\": 1e400}", "number overflow"},
                      BadJsonCase{"deep_arrays", "{\"x\": " + std::string(50000, '[') + std::string(50000, ']') + "}",
                                  "deeper than 256 levels"},
                      BadJsonCase{"deep_objects", std::string(300, '{') + std::string(300, '}'), "deeper than 256"},
                      BadJsonCase{"invalid_utf8", "{\"a\": \"\xff\"}", "is not valid JSON"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JsonReaderTest, BracketsInsideStringsDoNotCountAsNesting) {
  const std::string file = write("ok.json", "{\"s\": \"" + std::string(1000, '[') + "\\\"]\"}");
  EXPECT_EQ(read_json_file(file)["s"].get<std::string>().size(), 1002u);
}

TEST_F(JsonReaderTest, RefusesWhatIsNotARegularFileOfSaneSize) {
  EXPECT_NE(error_of(dir_.string()).find("is not a regular file"), std::string::npos);
  EXPECT_NE(error_of("/dev/zero").find("'/dev/zero' is not a regular file"), std::string::npos);
  const std::string fifo = path("output_pp_1.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(error_of(fifo).find("is not a regular file"), std::string::npos);  // returns, does not block
  const std::string big = write("big.json", "[" + std::string(2000, ' ') + "]");
  EXPECT_NE(error_of(big, JsonLimits{.max_bytes = 1000}).find("2002 bytes, more than the 1000 allowed"),
            std::string::npos);
  EXPECT_NE(error_of(path("missing.json")).find("No such file or directory"), std::string::npos);
}

TEST(JsonInt64Test, RefusesWhatWouldWrap) {
  EXPECT_EQ(json_int64(nlohmann::json::parse("9223372036854775807"), "v"), INT64_MAX);
  EXPECT_EQ(json_int64(nlohmann::json::parse("-9223372036854775808"), "v"), INT64_MIN);
  EXPECT_THROW(json_int64(nlohmann::json::parse("9223372036854775808"), "v"), std::invalid_argument);
  EXPECT_THROW(json_int64(nlohmann::json::parse("18446744073709551615"), "v"), std::invalid_argument);
  EXPECT_THROW(json_int64(nlohmann::json::parse("1.5"), "v"), std::invalid_argument);
}

// What Python's json.dumps(json.loads(text), indent=4) writes.
struct DumpCase {
  const char* name;
  std::string in, out;
  friend void PrintTo(const DumpCase& c, std::ostream* os) { *os << c.name << ": " << c.in; }
};

class PyJsonDumpTest : public ::testing::TestWithParam<DumpCase> {};

TEST_P(PyJsonDumpTest, WritesAsPython) { EXPECT_EQ(parse_py_json(GetParam().in, "doc").dump(), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Numbers, PyJsonDumpTest,
    ::testing::Values(
        DumpCase{"big_integer", "[123456789012345678901234567890]", "[\n    123456789012345678901234567890\n]"},
        DumpCase{"negative_big_integer", "[-99999999999999999999]", "[\n    -99999999999999999999\n]"},
        DumpCase{"float_1e15", "[1e15]", "[\n    1000000000000000.0\n]"},
        DumpCase{"float_1e16", "[1E16]", "[\n    1e+16\n]"},
        DumpCase{"float_1e70", "[1e70, 1.5e-07]", "[\n    1e+70,\n    1.5e-07\n]"},
        DumpCase{"shortest_round_trip", "[0.30000000000000004, 2.50, -0.0]",
                 "[\n    0.30000000000000004,\n    2.5,\n    -0.0\n]"},
        DumpCase{"minus_zero_integer", "[-0]", "[\n    0\n]"},
        DumpCase{"uint64", "[18446744073709551615]", "[\n    18446744073709551615\n]"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Structure, PyJsonDumpTest,
    ::testing::Values(
        DumpCase{"empty_containers", "{\"a\": [], \"b\": {}}", "{\n    \"a\": [],\n    \"b\": {}\n}"},
        DumpCase{"nested", "{\"d\": [{\"x\": null, \"y\": true}]}",
                 "{\n    \"d\": [\n        {\n            \"x\": null,\n            \"y\": true\n        }\n    ]\n}"},
        DumpCase{"repeated_key_keeps_first_place", "{\"a\": 1, \"b\": 2, \"a\": 3}", "{\n    \"a\": 3,\n    \"b\": 2\n}"},
        DumpCase{"ascii_escapes", "[\"\xc3\xa9\\u007f\\t\\u0001/\xf0\x9f\x90\x96\"]",
                 "[\n    \"\\u00e9\\u007f\\t\\u0001/\\ud83d\\udc16\"\n]"},
        DumpCase{"scalar_root", "\"x\"", "\"x\""}),
    [](const auto& info) { return std::string(info.param.name); });

class AtomicReplaceTest : public testing::ScratchDirTest {
 protected:
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  std::string error_of(const std::string& target, const std::string& content = "new") {
    try {
      write_file_atomically(target, content);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  }
};

TEST_F(AtomicReplaceTest, KeepsThePermissionBitsOfTheReplacedFile) {
  const std::string p = path("secret.json");
  write_file_atomically(p, "old");
  fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
  write_file_atomically(p, "new");
  EXPECT_EQ(fs::status(p).permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(slurp(p), "new");
}

TEST_F(AtomicReplaceTest, NewFileFollowsTheUmask) {
  const mode_t old = ::umask(022);
  write_file_atomically(path("fresh.txt"), "x");
  ::umask(old);
  EXPECT_EQ(fs::status(path("fresh.txt")).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(AtomicReplaceTest, RefusesAReadOnlyFile) {
  const std::string p = path("ro.json");
  write_file_atomically(p, "old");
  fs::permissions(p, fs::perms::owner_read | fs::perms::group_read);
  const std::string message = error_of(p);
  EXPECT_NE(message.find("'" + p + "'"), std::string::npos) << message;
  EXPECT_NE(message.find("read-only"), std::string::npos) << message;
  EXPECT_EQ(slurp(p), "old");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicReplaceTest, FollowsASymbolicLinkAndReplacesItsTarget) {
  fs::create_directories(dir_ / "real");
  const std::string target = path("real/data.json");
  write_file_atomically(target, "old");
  fs::create_symlink("real/data.json", dir_ / "link.json");
  write_file_atomically(path("link.json"), "new");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.json"));
  EXPECT_EQ(slurp(target), "new");
}

TEST_F(AtomicReplaceTest, RefusesAFileWithSeveralHardLinks) {
  const std::string p = path("a.json");
  write_file_atomically(p, "old");
  fs::create_hard_link(p, dir_ / "b.json");
  const std::string message = error_of(p);
  EXPECT_NE(message.find("2 hard links"), std::string::npos) << message;
  EXPECT_EQ(slurp(dir_ / "b.json"), "old");
}

TEST_F(AtomicReplaceTest, LongNamesWorkAndFailuresLeaveNoTemporary) {
  const std::string long_name = path(std::string(250, 'n'));
  write_file_atomically(long_name, "fits");
  EXPECT_EQ(slurp(long_name), "fits");
  fs::create_directories(dir_ / "sub" / "inner");
  const std::string message = error_of(path("sub"));
  EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;
  EXPECT_EQ(entries(), 2u);
}

TEST_F(AtomicReplaceTest, ImagesAreEncodedByExtension) {
  write_image_file_atomically(path("f.png"), cv::Mat1b(4, 4, uchar{7}));
  EXPECT_EQ(slurp(path("f.png")).substr(1, 3), "PNG");
  EXPECT_THROW(write_image_file_atomically(path("f.nope"), cv::Mat1b(4, 4, uchar{7})), std::runtime_error);
  EXPECT_EQ(entries(), 1u);
}

}  // namespace
}  // namespace pelk
