// pelk shard: prints the items this task of a job array owns, so job
// scripts split any list (clip folders, recordings) the way pelk's own
// commands split theirs.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "commands.hpp"
#include "shard.hpp"

namespace pelk::cli {
namespace {

struct ShardOptions {
  std::vector<std::string> items;
  std::string shard;
};

void run(const ShardOptions& o) {
  std::vector<std::string> items = o.items;
  if (items.empty()) {
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty()) items.push_back(line);
    }
  }
  const Shard shard = resolve_shard(o.shard);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (shard.owns(i)) std::cout << items[i] << "\n";
  }
}

}  // namespace

void add_shard_command(CLI::App& app) {
  auto o = std::make_shared<ShardOptions>();
  CLI::App* c = app.add_subcommand(
      "shard", "Print the items (arguments, else lines of standard input) that this task of a job array owns: item i "
               "when i % N == K, K of N from --shard or the Slurm array variables");
  c->add_option("items", o->items, "Items in a fixed order (the same for every task)");
  c->add_option("--shard", o->shard, "Shard K of N (K/N, K from 0); default from the Slurm array variables")->check(shard_validator());
  c->callback([o] { run(*o); });
}

}  // namespace pelk::cli
