#include "fileio.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvane {

namespace {

// Reads fd to its end into storage, which keeps its size between calls, and
// closes it; returns the number of bytes read. A short read of a regular file
// on a local file system is its end, which spares the read that would
// return 0; other files are read until read reports the end.
template <typename Buffer>
Result<size_t> read_fd(int fd, bool regular, size_t size_hint, Buffer& storage) {
  if (storage.size() < size_hint) storage.resize(size_hint);
  size_t used = 0;
  for (;;) {
    if (used == storage.size()) storage.resize(std::max<size_t>(storage.size() * 2, 8192));
    size_t asked = storage.size() - used;
    ssize_t n = ::read(fd, storage.data() + used, asked);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return fail(BufrError::io_errno(err));
    }
    used += static_cast<size_t>(n);
    if (n == 0 || (regular && static_cast<size_t>(n) < asked)) break;
  }
  ::close(fd);
  return used;
}

// Whether fd is a regular file, and one byte more than its size so that the
// whole file comes in one read.
bool regular_with_hint(int fd, size_t& size_hint) {
  struct stat st;
  bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  size_hint = regular ? static_cast<size_t>(st.st_size) + 1 : 8192;
  return regular;
}

template <typename Buffer>
Status read_path(const std::string& path, Buffer& buf) {
  buf.clear();
  if (path.find('\0') != std::string::npos) return fail(nul_in_name_error());
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  size_t hint = 0;
  bool regular = regular_with_hint(fd, hint);
  TARVANE_TRY(size_t used, read_fd(fd, regular, hint, buf));
  buf.resize(used);
  return {};
}

}  // namespace

BufrError nul_in_name_error() { return BufrError::io_message("file name contained an unexpected NUL byte"); }

Result<std::vector<uint8_t>> read_file(const std::string& path) {
  std::vector<uint8_t> buf;
  TARVANE_CHECK(read_path(path, buf));
  return buf;
}

Status read_file_into(const std::string& path, std::string& buf) { return read_path(path, buf); }

Result<std::string_view> read_file_at(int dir_fd, const std::string& name, bool known_regular, std::string& storage) {
  if (name.find('\0') != std::string::npos) return fail(nul_in_name_error());
  int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  size_t hint = 65536;
  bool regular = known_regular || regular_with_hint(fd, hint);
  TARVANE_TRY(size_t used, read_fd(fd, regular, std::max<size_t>(hint, 65536), storage));
  return std::string_view(storage.data(), used);
}

PathKind path_kind(const std::string& path) {
  if (path.find('\0') != std::string::npos) return PathKind::Missing;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  if (S_ISREG(st.st_mode)) return PathKind::Regular;
  return PathKind::Other;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace tarvane
