// A small driver for the fuzz targets when libFuzzer is not available: runs
// every seed of a corpus folder, then a fixed number of deterministic
// mutations of them (byte flips, insertions, deletions, repeated chunks,
// brackets). Usage: <target> CORPUS_DIR [ITERATIONS]. Exit code 0 when no
// input crashed (a crash aborts the process, as under libFuzzer).
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.hpp"

namespace {

std::string mutate(std::string s, std::mt19937& rng) {
  static const std::string kTokens[] = {"[", "]", "{", "}", "\"", ",", ":", "1e400", "-9223372036854775808",
                                        "18446744073709551615", "0.5", " ", "\\u0000", "null", "nan", "-0"};
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    const std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (rng() % 5) {
      case 0:
        if (!s.empty()) s[std::min(at, s.size() - 1)] ^= static_cast<char>(1u << (rng() % 8));
        break;
      case 1:
        s.insert(at, kTokens[rng() % std::size(kTokens)]);
        break;
      case 2:
        if (!s.empty()) s.erase(std::min(at, s.size() - 1), 1 + rng() % 8);
        break;
      case 3: {
        if (s.empty()) break;
        const std::size_t from = rng() % s.size();
        const std::string chunk = s.substr(from, 1 + rng() % 16);
        const int times = 1 + static_cast<int>(rng() % 64);
        std::string repeated;
        for (int t = 0; t < times; ++t) repeated += chunk;
        s.insert(at, repeated);
        break;
      }
      default:
        s.insert(at, std::string(1 + rng() % 300, rng() % 2 ? '[' : '{'));
        break;
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " CORPUS_DIR [ITERATIONS]\n";
    return 2;
  }
  const int iterations = argc > 2 ? std::atoi(argv[2]) : 2000;
  std::vector<std::string> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    seeds.push_back(text.str());
  }
  std::sort(seeds.begin(), seeds.end());
  if (seeds.empty()) {
    std::cerr << "no seeds in " << argv[1] << "\n";
    return 2;
  }
  const auto run = [](const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  };
  for (const std::string& seed : seeds) run(seed);
  std::mt19937 rng(12345);
  for (int i = 0; i < iterations; ++i) run(mutate(seeds[rng() % seeds.size()], rng));
  std::cout << seeds.size() << " seeds and " << iterations << " mutations ran without a crash\n";
  return 0;
}
