// Fingerprints of files and folders for the file-change machinery and the
// corrections files: FNV-1a over 64 bits, written as 16 hex digits. Enough
// to tell whether a file changed; not a defence against forgery.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace pelk::internal {

class Fingerprint {
 public:
  // Adds `bytes` to what the fingerprint covers.
  void add(std::string_view bytes) {
    for (const char c : bytes) {
      hash_ ^= static_cast<unsigned char>(c);
      hash_ *= 1099511628211ULL;
    }
  }
  // Returns the fingerprint as 16 lower-case hex digits.
  std::string hex() const {
    char buf[17];
    std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(hash_));
    return buf;
  }

 private:
  std::uint64_t hash_ = 1469598103934665603ULL;
};

// Returns the fingerprint of `bytes`.
inline std::string fingerprint_of(std::string_view bytes) {
  Fingerprint f;
  f.add(bytes);
  return f.hex();
}

// Returns the name of folder `dir` as it stands on disk (a trailing slash,
// "." or a relative path give the folder's own name).
inline std::string folder_name(const std::string& dir) {
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(dir), ec);
  return (ec ? std::filesystem::path(dir).lexically_normal() : canonical).filename().string();
}

}  // namespace pelk::internal
