#include "pelk_utils/core/streamed_file.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace pelk {

StreamedFile::StreamedFile(std::string path) : path_(std::move(path)) {
  const std::filesystem::path target(path_);
  temporary_ = (target.parent_path() / ("." + target.filename().string() + ".pelk-" + std::to_string(::getpid()))).string();
  out_.open(temporary_, std::ios::binary | std::ios::trunc);
  if (!out_) throw std::runtime_error("cannot write '" + path_ + "': its folder is missing or not writable");
}

StreamedFile::~StreamedFile() {
  if (committed_) return;
  out_.close();
  std::error_code ec;
  std::filesystem::remove(temporary_, ec);
}

void StreamedFile::write(std::string_view text) { out_.write(text.data(), static_cast<std::streamsize>(text.size())); }

void StreamedFile::commit() {
  out_.close();
  if (!out_) throw std::runtime_error("cannot write '" + path_ + "' (disk full?)");
  std::error_code ec;
  std::filesystem::rename(temporary_, path_, ec);
  if (ec) throw std::runtime_error("cannot write '" + path_ + "': " + ec.message());
  committed_ = true;
}

}  // namespace pelk
