#include "shard.hpp"

#include <cstdlib>
#include <regex>
#include <stdexcept>

namespace pelk::cli {
namespace {

long whole_number(const std::string& text, const std::string& where) {
  static const std::regex kDigits(R"(\d{1,9})");
  if (!std::regex_match(text, kDigits)) throw std::invalid_argument(where + ": '" + text + "' is not a whole number");
  return std::stol(text);
}

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

Shard parse_shard(const std::string& option, const ArrayEnvironment& env) {
  std::string k_text, n_text, where;
  if (!option.empty()) {
    const auto slash = option.find('/');
    if (slash == std::string::npos) throw std::invalid_argument("--shard '" + option + "' is not K/N");
    k_text = option.substr(0, slash);
    n_text = option.substr(slash + 1);
    where = "--shard " + option;
  } else {
    if (!env.task_id || !env.task_count) return {};
    const long k = whole_number(*env.task_id, "SLURM_ARRAY_TASK_ID") -
                   (env.task_min ? whole_number(*env.task_min, "SLURM_ARRAY_TASK_MIN") : 0);
    k_text = std::to_string(k < 0 ? 0 : k);
    n_text = *env.task_count;
    where = "SLURM_ARRAY_TASK_ID/COUNT";
  }
  const long k = whole_number(k_text, where), n = whole_number(n_text, where);
  if (n < 1 || k >= n) {
    throw std::invalid_argument(where + " gives shard " + std::to_string(k) + " of " + std::to_string(n) +
                                "; need 0 <= K < N");
  }
  return Shard{static_cast<std::size_t>(k), static_cast<std::size_t>(n)};
}

Shard resolve_shard(const std::string& option) {
  return parse_shard(option, {variable("SLURM_ARRAY_TASK_ID"), variable("SLURM_ARRAY_TASK_MIN"),
                              variable("SLURM_ARRAY_TASK_COUNT")});
}

}  // namespace pelk::cli
