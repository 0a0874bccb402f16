#include "fileio.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvane {

namespace {

template <typename Buffer>
Result<Buffer> read_into(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return fail(BufrError::io_message("file name contained an unexpected NUL byte"));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  Buffer buf;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) buf.reserve(static_cast<size_t>(st.st_size));
  size_t used = 0;
  for (;;) {
    if (buf.size() - used < 65536) buf.resize(used + 65536);
    ssize_t n = ::read(fd, buf.data() + used, buf.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return fail(BufrError::io_errno(err));
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  buf.resize(used);
  return buf;
}

}  // namespace

Result<std::vector<uint8_t>> read_file(const std::string& path) { return read_into<std::vector<uint8_t>>(path); }

Result<std::string> read_file_text(const std::string& path) { return read_into<std::string>(path); }

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
