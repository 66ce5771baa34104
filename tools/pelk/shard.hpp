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
};

// The Slurm array variables a task sees; unset ones are std::nullopt.
struct ArrayEnvironment {
  std::optional<std::string> task_id, task_min, task_count;
};

// Returns the shard from `option` ("K/N", K from 0) when it is not empty,
// else from the array variables (task id less task min, of task count) when
// id and count are set, else the whole job. Throws std::invalid_argument
// naming the option or variable for a malformed or out-of-range value.
Shard parse_shard(const std::string& option, const ArrayEnvironment& env);

// Returns parse_shard of `option` and this process's environment.
Shard resolve_shard(const std::string& option);

}  // namespace pelk::cli
