// Directory listings of the table loaders by name prefix and suffix, with
// plain POSIX calls (a master directory holds some 500 files, read on every
// load).
#include <algorithm>
#include <cerrno>
#include <dirent.h>

#include "../fileio.hpp"
#include "../text.hpp"
#include "loaders.hpp"
#include "table_text.hpp"

namespace tarvane {

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
  if (dir.find('\0') != std::string::npos) return fail(nul_in_name_error());
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
