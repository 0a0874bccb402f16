#include "fileio.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


namespace tarvane {

namespace {

// Closes the descriptor on every way out.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

Result<int> open_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) return fail(nul_in_name_error());
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  return fd;
}

// Size of a regular file that reports one; /proc and the like say 0 and are
// read like a pipe, to their end.
bool sized_regular(int fd, uint64_t& size) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

// Reads fd to its end, or to limit + 1 bytes, into storage, which keeps its
// size between calls; returns the number of bytes read (limit + 1 says
// "more than limit"). A short read of a regular file on a local file system
// is its end, which spares the read that would return 0; other files are
// read until read reports the end.
template <typename Buffer>
Result<size_t> read_fd(int fd, bool regular, size_t size_hint, uint64_t limit, Buffer& storage) {
  const size_t cap = static_cast<size_t>(std::min<uint64_t>(limit, SIZE_MAX - 1) + 1);
  size_hint = std::min(size_hint, cap);
  if (storage.size() < size_hint) storage.resize(size_hint);
  size_t used = 0;
  while (used < cap) {
    if (used == storage.size()) storage.resize(std::min(cap, std::max<size_t>(storage.size() * 2, 8192)));
    size_t asked = storage.size() - used;
    ssize_t n = ::read(fd, storage.data() + used, asked);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(BufrError::io_errno(errno));
    }
    used += static_cast<size_t>(n);
    if (n == 0 || (regular && static_cast<size_t>(n) < asked)) break;
  }
  return used;
}

BufrError stream_too_long(uint64_t limit) {
  return BufrError::io_message("not a regular file and holds more than " + std::to_string(limit) + " bytes");
}

BufrError table_file_too_long() {
  return BufrError::io_message("file holds more than " + std::to_string(kMaxTableFileBytes) + " bytes");
}

// A table file into storage, refused when larger than kMaxTableFileBytes;
// returns the number of bytes read.
template <typename Buffer>
Result<size_t> read_table_fd(int fd, bool known_regular, Buffer& storage) {
  uint64_t size = 0;
  bool regular = known_regular;
  size_t hint = 65536;
  if (!known_regular && sized_regular(fd, size)) {
    if (size > kMaxTableFileBytes) return fail(table_file_too_long());
    regular = true;
    hint = static_cast<size_t>(size) + 1;  // the whole file in one read
  }
  TARVANE_TRY(size_t used, read_fd(fd, regular, hint, kMaxTableFileBytes, storage));
  if (used > kMaxTableFileBytes) return fail(table_file_too_long());
  return used;
}

}  // namespace

BufrError nul_in_name_error() { return BufrError::io_message("file name contained an unexpected NUL byte"); }

Result<std::vector<uint8_t>> read_file(const std::string& path) {
  TARVANE_TRY(int raw, open_path(path));
  Fd fd{raw};
  uint64_t size = 0;
  bool regular = sized_regular(fd.fd, size);
  std::vector<uint8_t> buf;
  TARVANE_TRY(size_t used, read_fd(fd.fd, regular, regular ? size + 1 : 8192, UINT64_MAX, buf));
  buf.resize(used);
  return buf;
}

Result<FileBytes> read_file_head(const std::string& path, uint64_t limit, size_t head) {
  TARVANE_TRY(int raw, open_path(path));
  Fd fd{raw};
  FileBytes out;
  uint64_t size = 0;
  bool regular = sized_regular(fd.fd, size);
  if (regular && size > limit) {
    TARVANE_TRY(size_t used, read_fd(fd.fd, false, head, head - 1, out.buffer_));
    out.buffer_.resize(used);
    out.file_size_ = size;
    return out;
  }
  TARVANE_TRY(size_t used, read_fd(fd.fd, regular, regular ? size + 1 : 8192, limit, out.buffer_));
  if (used > limit) {
    if (!regular) return fail(stream_too_long(limit));
    // A regular file that grew while it was read: its head serves as above.
    out.buffer_.resize(std::min(used, head));
    out.file_size_ = used;
    return out;
  }
  out.buffer_.resize(used);
  out.file_size_ = used;
  return out;
}

Result<FileBytes> read_whole_file(const std::string& path, uint64_t stream_limit) {
  TARVANE_TRY(int raw, open_path(path));
  Fd fd{raw};
  FileBytes out;
  uint64_t size = 0;
  const bool regular = sized_regular(fd.fd, size);
  if (regular && size > SIZE_MAX - 1) return fail(BufrError::io_errno(EFBIG));
  const uint64_t limit = regular ? UINT64_MAX : stream_limit;
  TARVANE_TRY(size_t used, read_fd(fd.fd, regular, regular ? static_cast<size_t>(size) + 1 : 8192, limit, out.buffer_));
  if (used > limit) return fail(stream_too_long(stream_limit));
  out.buffer_.resize(used);
  out.file_size_ = used;
  return out;
}

Status read_file_into(const std::string& path, std::string& buf) {
  buf.clear();
  TARVANE_TRY(int raw, open_path(path));
  Fd fd{raw};
  TARVANE_TRY(size_t used, read_table_fd(fd.fd, false, buf));
  buf.resize(used);
  return {};
}

Result<std::string_view> read_file_at(int dir_fd, const std::string& name, bool known_regular, std::string& storage) {
  if (name.find('\0') != std::string::npos) return fail(nul_in_name_error());
  int raw = ::openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0) return fail(BufrError::io_errno(errno));
  Fd fd{raw};
  TARVANE_TRY(size_t used, read_table_fd(fd.fd, known_regular, storage));
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
