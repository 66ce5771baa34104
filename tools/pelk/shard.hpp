// Shards of a job array: which items one task of a Slurm array (or one
// "--shard K/N" run) owns. Pure parsing, apart from resolve_shard reading the
// environment, so it is testable and fuzzable without the rest of `pelk`.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace pelk::cli {

// One shard of a job array: items i with i % count == index.
struct Shard {
  std::size_t index = 0, count = 1;
  bool owns(std::size_t item) const { return item % count == index; }
  friend bool operator==(const Shard&, const Shard&) = default;
};

// The Slurm array variables a task sees (SLURM_ARRAY_TASK_ID, _MIN, _MAX,
// _STEP, _COUNT); unset ones are std::nullopt.
struct ArrayEnvironment {
  std::optional<std::string> task_id, task_min, task_count, task_max, task_step;
};

// Returns the shard from `option` ("K/N", K from 0) when it is not empty,
// else from the array variables when the task id and count are set, else the
// whole job. An array given as a range (any start, with or without a step:
// (MAX - MIN) / STEP + 1 = COUNT) maps its tasks one to one onto shards
// 0..COUNT-1 in id order, so every shard runs exactly once; an array given
// as a list (1,3,8) cannot be mapped and is refused with a message that
// says to pass --shard K/N. Throws std::invalid_argument naming the option
// or variable for a malformed or out-of-range value.
Shard parse_shard(const std::string& option, const ArrayEnvironment& env);

// Returns parse_shard of `option` and this process's environment.
Shard resolve_shard(const std::string& option);

// Returns "" when `option` is a valid "K/N" (or empty), else the reason:
// a command-line option's check, so that a malformed --shard is a
// command-line mistake like any other.
std::string shard_option_problem(const std::string& option);

}  // namespace pelk::cli
