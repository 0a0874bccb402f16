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

namespace {

BufrError nul_in_name() { return BufrError::io_message("file name contained an unexpected NUL byte"); }

// Reads fd to its end into storage, which keeps its size between calls, and
// closes it; returns the number of bytes read. A short read of a regular file
// on a local file system is its end, which spares the read that would
// return 0; other files are read until read reports the end.
Result<size_t> read_fd(int fd, bool regular, size_t size_hint, std::string& storage) {
  if (storage.size() < size_hint) storage.resize(size_hint);
  size_t used = 0;
  for (;;) {
    if (used == storage.size()) storage.resize(storage.size() * 2);
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

}  // namespace

Status read_table_file(const std::string& path, std::string& buf) {
  buf.clear();
  if (path.find('\0') != std::string::npos) return fail(nul_in_name());
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  size_t hint = 0;
  bool regular = regular_with_hint(fd, hint);
  TARVANE_TRY(size_t used, read_fd(fd, regular, hint, buf));
  buf.resize(used);
  return {};
}

Result<std::string_view> read_table_file_at(int dir_fd, const std::string& name, bool known_regular,
                                            std::string& storage) {
  if (name.find('\0') != std::string::npos) return fail(nul_in_name());
  int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::io_errno(errno));
  size_t hint = 65536;
  bool regular = known_regular || regular_with_hint(fd, hint);
  TARVANE_TRY(size_t used, read_fd(fd, regular, std::max<size_t>(hint, 65536), storage));
  return std::string_view(storage.data(), used);
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

Result<std::vector<DirName>> matching_names(DIR* dir, std::string_view prefix, std::string_view suffix) {
  std::vector<DirName> names;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(dir);
    if (e == nullptr) {
      if (errno != 0) return fail(BufrError::io_errno(errno));
      break;
    }
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::string shown = ascii ? std::string() : lossy_utf8(name);
    std::string_view text = ascii ? name : std::string_view(shown);
    if (text.starts_with(prefix) && text.ends_with(suffix)) names.push_back({std::string(name), e->d_type == DT_REG});
  }
  // One directory: path order is byte order of the names.
  std::sort(names.begin(), names.end(), [](const DirName& a, const DirName& b) { return a.name < b.name; });
  return names;
}

Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix) {
  if (dir.find('\0') != std::string::npos) return fail(nul_in_name());
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return fail(BufrError::io_errno(errno));
  auto names = matching_names(d, prefix, suffix);
  ::closedir(d);
  if (!names) return fail(std::move(names.error()));
  std::vector<std::string> paths;
  paths.reserve(names->size());
  for (const DirName& entry : *names) paths.push_back(join_path(dir, entry.name));
  return paths;
}

}  // namespace tarvane
