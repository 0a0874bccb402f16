// File access of the table loaders: whole-file reads into a reused buffer and
// directory listings by name prefix and suffix, with plain POSIX calls (a
// master directory holds some 500 files, read on every load).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../fileio.hpp"
#include "../text.hpp"
#include "loaders.hpp"
#include "table_text.hpp"

namespace tarvane {

Status read_table_file(const std::string& path, std::string& buf) {
  buf.clear();
  if (path.find('\0') != std::string::npos)
    return fail(BufrError::io_message("file name contained an unexpected NUL byte"));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  struct stat st;
  size_t chunk = 8192;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) chunk = static_cast<size_t>(st.st_size) + 1;
  // One extra byte lets a file of the size fstat gave end in one read plus
  // the read that sees its end.
  buf.resize(chunk);
  size_t used = 0;
  for (;;) {
    if (used == buf.size()) buf.resize(buf.size() * 2);
    ssize_t n = ::read(fd, buf.data() + used, buf.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      buf.clear();
      return fail(BufrError::io_errno(err));
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  buf.resize(used);
  return {};
}

BufrError not_utf8_error() { return BufrError::io_message("stream did not contain valid UTF-8"); }

bool parent_path(const std::string& path, std::string& parent) {
  std::string_view p = path;
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  if (p.empty() || p == "/") return false;
  size_t slash = p.rfind('/');
  if (slash == std::string_view::npos) {
    parent.clear();  // a bare name lives in the current directory
    return true;
  }
  std::string_view dir = p.substr(0, slash);
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  parent = dir.empty() ? std::string("/") : std::string(dir);
  return true;
}

Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix) {
  if (dir.find('\0') != std::string::npos)
    return fail(BufrError::io_message("file name contained an unexpected NUL byte"));
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return fail(BufrError::io_errno(errno));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (e == nullptr) {
      int err = errno;
      ::closedir(d);
      if (err != 0) return fail(BufrError::io_errno(err));
      break;
    }
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::string shown = ascii ? std::string() : lossy_utf8(name);
    std::string_view text = ascii ? name : std::string_view(shown);
    if (text.starts_with(prefix) && text.ends_with(suffix)) names.emplace_back(name);
  }
  // One directory: path order is byte order of the names.
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name = join_path(dir, name);
  return names;
}

}  // namespace tarvane
