// A scratch folder for fuzz targets that must go through files (the clip
// loader and the cleaning pass read paths): one per process, in memory when
// /dev/shm exists, emptied before each input and removed at exit; and a
// guard that silences std::cout.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace pelk::fuzz {

class Scratch {
 public:
  explicit Scratch(const std::string& name) {
    const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    dir_ = base / ("pelk_fuzz_" + name + "_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // Returns `name` inside the folder.
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  // Writes `text` to `name` inside the folder and returns its path.
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  // Removes every entry of the sub-folder `name` and returns its path.
  std::string fresh(const std::string& name) const {
    std::error_code ec;
    std::filesystem::remove_all(dir_ / name, ec);
    std::filesystem::create_directories(dir_ / name);
    return path(name);
  }

 private:
  std::filesystem::path dir_;
};

// Runs `call` with std::cout silenced; returns false when it failed with one
// of the library's own errors (bad input, a missing key, an unreadable
// file), which is a correct answer to a fuzzed input.
template <class Call>
bool succeeds_quietly(Call&& call);

// Keeps the library's progress lines out of the fuzzer's output.
class QuietCout {
 public:
  QuietCout() : old_(std::cout.rdbuf(sink_.rdbuf())) {}
  ~QuietCout() { std::cout.rdbuf(old_); }
  QuietCout(const QuietCout&) = delete;
  QuietCout& operator=(const QuietCout&) = delete;

 private:
  std::stringstream sink_;
  std::streambuf* old_;
};

template <class Call>
bool succeeds_quietly(Call&& call) {
  try {
    const QuietCout quiet;
    call();
    return true;
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  } catch (const std::runtime_error&) {
  }
  return false;
}

}  // namespace pelk::fuzz
