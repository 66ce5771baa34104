#include "shard.hpp"

#include <map>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace pelk::cli {
namespace {

// One form of `sbatch --array`, as Slurm 22.05 describes it to its tasks.
struct ArrayForm {
  const char* name;
  std::vector<long> ids;   // the task ids Slurm starts
  long min, max, step;     // SLURM_ARRAY_TASK_MIN, _MAX, _STEP
  bool maps;               // a range: every shard exactly once
  friend void PrintTo(const ArrayForm& f, std::ostream* os) { *os << f.name; }
};

ArrayEnvironment environment(const ArrayForm& form, long id) {
  return {std::to_string(id), std::to_string(form.min), std::to_string(form.ids.size()), std::to_string(form.max),
          std::to_string(form.step)};
}

class ArrayFormTest : public ::testing::TestWithParam<ArrayForm> {};

TEST_P(ArrayFormTest, EveryShardRunsExactlyOnceOrEveryTaskRefuses) {
  const ArrayForm& form = GetParam();
  std::map<std::size_t, int> runs;
  for (const long id : form.ids) {
    if (!form.maps) {
      try {
        parse_shard("", environment(form, id));
        ADD_FAILURE() << "task " << id << " should refuse";
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("pass --shard K/N"), std::string::npos) << e.what();
      }
      continue;
    }
    const Shard shard = parse_shard("", environment(form, id));
    EXPECT_EQ(shard.count, form.ids.size()) << "task " << id;
    ++runs[shard.index];
  }
  if (!form.maps) return;
  ASSERT_EQ(runs.size(), form.ids.size());
  for (std::size_t k = 0; k < form.ids.size(); ++k) EXPECT_EQ(runs[k], 1) << "shard " << k;
}

INSTANTIATE_TEST_SUITE_P(
    SlurmArrays, ArrayFormTest,
    ::testing::Values(ArrayForm{"zero_to_nine", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0, 9, 1, true},
                      ArrayForm{"five_to_nine", {5, 6, 7, 8, 9}, 5, 9, 1, true},
                      ArrayForm{"stepped_0_6_2", {0, 2, 4, 6}, 0, 6, 2, true},
                      ArrayForm{"stepped_1_13_4", {1, 5, 9, 13}, 1, 13, 4, true},
                      ArrayForm{"single_task", {7}, 7, 7, 1, true},
                      ArrayForm{"list_1_3_8", {1, 3, 8}, 1, 8, 1, false},
                      ArrayForm{"stepped_list_0_4_10", {0, 4, 10}, 0, 10, 2, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadShardCase {
  const char* name;
  std::string option;
  ArrayEnvironment env;
  const char* message;
  friend void PrintTo(const BadShardCase& c, std::ostream* os) { *os << c.name; }
};

class BadShardTest : public ::testing::TestWithParam<BadShardCase> {};

TEST_P(BadShardTest, IsRefusedNamingTheValue) {
  try {
    parse_shard(GetParam().option, GetParam().env);
    ADD_FAILURE() << "expected an error";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadShardTest,
    ::testing::Values(
        BadShardCase{"index_past_count", "3/2", {}, "--shard 3/2 gives shard 3 of 2"},
        BadShardCase{"no_slash", "3", {}, "--shard '3' is not K/N"},
        BadShardCase{"zero_shards", "0/0", {}, "gives shard 0 of 0"},
        BadShardCase{"negative", "-1/2", {}, "'-1' is not a whole number"},
        BadShardCase{"huge", "1/99999999999", {}, "'99999999999' is not a whole number"},
        BadShardCase{"task_below_min", "", {"0", "1", "4", "13", "4"}, "SLURM_ARRAY_TASK_ID 0 is not a task"},
        BadShardCase{"task_between_steps", "", {"3", "1", "4", "13", "4"}, "SLURM_ARRAY_TASK_ID 3 is not a task"},
        BadShardCase{"task_past_max", "", {"17", "1", "4", "13", "4"}, "SLURM_ARRAY_TASK_ID 17 is not a task"},
        BadShardCase{"not_a_number", "", {"x", "0", "2", "1", "1"}, "SLURM_ARRAY_TASK_ID: 'x' is not a whole number"},
        BadShardCase{"zero_step", "", {"1", "1", "2", "2", "0"}, "SLURM_ARRAY_TASK_STEP: 0 is not a step"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShardTest, OptionWinsAndNoArrayMeansTheWholeJob) {
  const ArrayEnvironment array{"5", "1", "4", "13", "4"};
  EXPECT_EQ(parse_shard("2/3", array), (Shard{2, 3}));
  EXPECT_EQ(parse_shard("", array), (Shard{1, 4}));
  EXPECT_EQ(parse_shard("", {}), (Shard{0, 1}));
  // A task id without a count would make every task do all the work.
  EXPECT_THROW(parse_shard("", {"5", std::nullopt, std::nullopt, std::nullopt, std::nullopt}), std::invalid_argument);
  // The count follows from _MIN and _MAX when only it is missing.
  EXPECT_EQ(parse_shard("", {"5", "1", std::nullopt, "13", "4"}), (Shard{1, 4}));
  // Older Slurm sets no _MAX or _STEP: ids are taken to run from _MIN by one.
  EXPECT_EQ(parse_shard("", {"2", "1", "2", std::nullopt, std::nullopt}), (Shard{1, 2}));
}

}  // namespace
}  // namespace pelk::cli
