#include "shard.hpp"

#include <cstdlib>
#include <regex>
#include <stdexcept>

namespace pelk::cli {
namespace {

// Slurm array indices and counts stay far below a billion.
long whole_number(const std::string& text, const std::string& where) {
  static const std::regex kDigits(R"(\d{1,9})");
  if (!std::regex_match(text, kDigits)) throw std::invalid_argument(where + ": '" + text + "' is not a whole number");
  return std::stol(text);
}

std::optional<long> number_of(const std::optional<std::string>& text, const char* name) {
  return text ? std::optional<long>(whole_number(*text, name)) : std::nullopt;
}

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

Shard checked(long k, long n, const std::string& where) {
  if (n < 1 || k < 0 || k >= n) {
    throw std::invalid_argument(where + " gives shard " + std::to_string(k) + " of " + std::to_string(n) +
                                "; need 0 <= K < N");
  }
  return Shard{static_cast<std::size_t>(k), static_cast<std::size_t>(n)};
}

Shard from_option(const std::string& option) {
  const auto slash = option.find('/');
  if (slash == std::string::npos) throw std::invalid_argument("--shard '" + option + "' is not K/N");
  const std::string where = "--shard " + option;
  return checked(whole_number(option.substr(0, slash), where), whole_number(option.substr(slash + 1), where), where);
}

// Maps task `id` of the array MIN..MAX:STEP (COUNT tasks) to its shard.
Shard from_array(const ArrayEnvironment& env) {
  const long id = whole_number(*env.task_id, "SLURM_ARRAY_TASK_ID");
  const long count = whole_number(*env.task_count, "SLURM_ARRAY_TASK_COUNT");
  const long min = number_of(env.task_min, "SLURM_ARRAY_TASK_MIN").value_or(0);
  const std::optional<long> max = number_of(env.task_max, "SLURM_ARRAY_TASK_MAX");
  const long step = number_of(env.task_step, "SLURM_ARRAY_TASK_STEP").value_or(1);
  const std::string form = "the job array (SLURM_ARRAY_TASK_MIN " + std::to_string(min) +
                           (max ? ", _MAX " + std::to_string(*max) : "") + ", _STEP " + std::to_string(step) +
                           ", _COUNT " + std::to_string(count) + ")";
  if (step < 1) throw std::invalid_argument("SLURM_ARRAY_TASK_STEP: " + std::to_string(step) + " is not a step");
  // Without _MAX (older Slurm) the ids are taken to run min, min+step, ...
  const long last = max.value_or(min + (count - 1) * step);
  if (last < min || (last - min) % step != 0 || (last - min) / step + 1 != count) {
    throw std::invalid_argument(form + " is a list of task ids, not a range: its tasks cannot be mapped onto "
                                "shards; pass --shard K/N to each task instead");
  }
  if (id < min || id > last || (id - min) % step != 0) {
    throw std::invalid_argument("SLURM_ARRAY_TASK_ID " + std::to_string(id) + " is not a task of " + form);
  }
  return checked((id - min) / step, count, "SLURM_ARRAY_TASK_ID/COUNT");
}

}  // namespace

Shard parse_shard(const std::string& option, const ArrayEnvironment& env) {
  if (!option.empty()) return from_option(option);
  if (!env.task_id) return {};
  if (!env.task_count && env.task_min && env.task_max) {
    // The count follows from the range when Slurm leaves it out.
    ArrayEnvironment counted = env;
    const long min = whole_number(*env.task_min, "SLURM_ARRAY_TASK_MIN");
    const long max = whole_number(*env.task_max, "SLURM_ARRAY_TASK_MAX");
    const long step = number_of(env.task_step, "SLURM_ARRAY_TASK_STEP").value_or(1);
    if (step >= 1 && max >= min) counted.task_count = std::to_string((max - min) / step + 1);
    if (counted.task_count) return from_array(counted);
  }
  if (!env.task_count) {
    // Every task would do all the work: refuse rather than guess.
    throw std::invalid_argument("SLURM_ARRAY_TASK_ID is set (" + *env.task_id +
                                ") but SLURM_ARRAY_TASK_COUNT is not: the task's shard cannot be told; pass "
                                "--shard K/N, or unset SLURM_ARRAY_TASK_ID to do the whole job");
  }
  return from_array(env);
}

std::string shard_option_problem(const std::string& option) {
  if (option.empty()) return "";
  try {
    from_option(option);
    return "";
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

Shard resolve_shard(const std::string& option) {
  return parse_shard(option, {variable("SLURM_ARRAY_TASK_ID"), variable("SLURM_ARRAY_TASK_MIN"),
                              variable("SLURM_ARRAY_TASK_COUNT"), variable("SLURM_ARRAY_TASK_MAX"),
                              variable("SLURM_ARRAY_TASK_STEP")});
}

}  // namespace pelk::cli
