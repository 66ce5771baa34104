#include "pelk_utils/core/atomic_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <unistd.h>

namespace pelk {
namespace fs = std::filesystem;

void write_file_atomically(const std::string& path, const std::string& content) {
  static std::atomic<unsigned> counter{0};
  const fs::path target(path);
  fs::path temp = target;
  temp += ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      throw std::runtime_error("cannot write '" + temp.string() + "' (for '" + path + "'): " + std::strerror(errno));
    }
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ignored;
      fs::remove(temp, ignored);
      throw std::runtime_error("failed writing '" + path + "'");
    }
  }
  std::error_code ec;
  fs::rename(temp, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw std::runtime_error("cannot replace '" + path + "': " + ec.message());
  }
}

}  // namespace pelk
