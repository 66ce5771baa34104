#include "pelk_utils/core/atomic_file.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelk {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(const std::string& path, const std::string& reason) {
  throw std::runtime_error("cannot write '" + path + "': " + reason);
}

std::string system_reason() { return std::strerror(errno); }

// Follows symbolic links from `path` to the file they finally name (which
// may not exist yet).
fs::path resolve_links(const std::string& path) {
  fs::path p(path);
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec))) return p;
    const fs::path target = fs::read_symlink(p, ec);
    if (ec) fail(path, ec.message());
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  fail(path, "too many levels of symbolic links");
}

// Checks that an existing target may be replaced and returns its status.
bool existing_target(const std::string& shown, const fs::path& target, struct stat& st) {
  if (::stat(target.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    fail(shown, system_reason());
  }
  if (!S_ISREG(st.st_mode)) fail(shown, "it is not a regular file");
  if (st.st_nlink > 1) {
    fail(shown, "it has " + std::to_string(st.st_nlink) +
                    " hard links; replacing it would leave the other links with the old content");
  }
  if ((st.st_mode & 0222) == 0) fail(shown, "the file is read-only");
  if (::access(target.c_str(), W_OK) != 0) fail(shown, system_reason());
  return true;
}

// Creates a fresh temporary file beside `target`; returns its descriptor.
int create_temp(const std::string& shown, const fs::path& target, fs::path& temp) {
  static thread_local std::mt19937_64 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".pelk-";
    for (int i = 0; i < 6; ++i) name += kChars[rng() % (sizeof(kChars) - 1)];
    temp = dir / name;
    // 0666 lets the umask decide the mode of a new file, as for any file.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) fail(shown, "cannot create a temporary file in '" + dir.string() + "': " + system_reason());
  }
  fail(shown, "no free temporary name in '" + dir.string() + "'");
}

void write_all(int fd, const std::string& content) {
  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category());
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void write_file_atomically(const std::string& path, const std::string& content, const AtomicWriteOptions& options) {
  const fs::path target = resolve_links(path);
  struct stat st {};
  const bool exists = existing_target(path, target, st);
  fs::path temp;
  const int fd = create_temp(path, target, temp);
  try {
    if (exists) {
      if (::fchmod(fd, st.st_mode & 07777) != 0) throw std::system_error(errno, std::generic_category());
      [[maybe_unused]] const int ignored = ::fchown(fd, st.st_uid, st.st_gid);  // best effort, as cp -p
    }
    write_all(fd, content);
    if (options.sync && ::fsync(fd) != 0) throw std::system_error(errno, std::generic_category());
    if (::close(fd) != 0) {
      const int err = errno;
      ::unlink(temp.c_str());
      fail(path, std::strerror(err));
    }
  } catch (const std::system_error& e) {
    ::close(fd);
    ::unlink(temp.c_str());
    fail(path, e.code().message());
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    fail(path, std::strerror(err));
  }
}

}  // namespace pelk
