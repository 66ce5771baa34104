// Fuzzes the command line's shard and number parsing: "--shard K/N", the
// Slurm array variables (id, min, count, max, step; "-" for unset), and numeric options of the types `pelk` declares
// (an int, a positive double, a comma-separated list of ids). Fields are
// separated by newlines. Every input either parses to a usable value or
// fails with the parser's own error; a shard always owns a valid index.
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "fuzz/fuzz_target.hpp"
#include "shard.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> fields;
  std::stringstream lines(std::string(reinterpret_cast<const char*>(data), size));
  for (std::string line; fields.size() < 10 && std::getline(lines, line);) fields.push_back(line);
  fields.resize(10);
  const auto optional = [](const std::string& s) { return s == "-" ? std::nullopt : std::optional<std::string>(s); };
  try {
    const pelk::cli::Shard shard =
        pelk::cli::parse_shard(fields[0], {optional(fields[1]), optional(fields[2]), optional(fields[3]),
                                           optional(fields[4]), optional(fields[5])});
    if (shard.count < 1 || shard.index >= shard.count || !shard.owns(shard.index)) __builtin_trap();
  } catch (const std::invalid_argument&) {
  }
  CLI::App app;
  int consecutive = 2;
  double time_step = 0.1;
  std::vector<int> ids;
  app.add_option("--consecutive", consecutive);
  app.add_option("--time-step", time_step)->check(CLI::PositiveNumber);
  app.add_option("--ids", ids)->delimiter(',');
  std::vector<std::string> args = {"--consecutive", fields[6], "--time-step", fields[7], "--ids", fields[8]};
  std::vector<const char*> argv = {"pelk"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError&) {
    return 0;
  }
  if (!(time_step > 0)) __builtin_trap();
  return 0;
}
