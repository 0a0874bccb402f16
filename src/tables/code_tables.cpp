// Code and flag tables: codetables/<code>.table, one file per element, each
// line "figure  figure  meaning words".
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>
#include <string>
#include <string_view>

#include "../text.hpp"
#include "loaders.hpp"
#include "../fileio.hpp"
#include "table_text.hpp"

namespace tarvane {

namespace {

// The file name without its last extension; a name whose only dot leads it
// is its own stem.
std::string_view file_stem(std::string_view name) {
  if (name == "..") return name;
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

bool single_spaced_ascii(std::string_view s) {
  char previous = 0;
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x80 || (b >= 0x09 && b <= 0x0D) || (c == ' ' && previous == ' ')) return false;
    previous = c;
  }
  return true;
}

Result<CodeTable> parse_code_table(std::string_view text) {
  CodeTable table;
  // One entry per line at most; sizing once spares the rehashes.
  table.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  size_t pos = 0;
  std::string_view line;
  while (next_line(text, pos, line)) {
    line = trim_ws(line);
    if (line.empty() || line.front() == '#') continue;
    size_t at = 0;
    std::string_view key, second, word;
    if (!next_word(line, at, key) || !next_word(line, at, second) || !next_word(line, at, word)) continue;
    // The line is trimmed, so the meaning runs from its first word to the
    // end; it is taken whole unless white space other than single spaces
    // must be collapsed.
    std::string_view rest = line.substr(static_cast<size_t>(word.data() - line.data()));
    std::string meaning;
    if (single_spaced_ascii(rest)) {
      meaning.assign(rest);
    } else {
      meaning.assign(word);
      while (next_word(line, at, word)) {
        meaning += ' ';
        meaning += word;
      }
    }
    uint64_t figure = 0;
    if (const char* reason = parse_u64_reason(key, figure)) {
      return fail(BufrError::parse("bad code table key " + quoted_prefix(key) + ": " + reason));
    }
    table.insert_or_assign(figure, std::move(meaning));
  }
  return table;
}

Status read_code_table_file(TableSet& tables, DIR* d, const DirName& entry, std::string_view stem,
                            std::string& storage) {
  TARVANE_TRY(uint32_t code, parse_code(stem));
  TARVANE_TRY(std::string_view text, read_file_at(::dirfd(d), entry.name, entry.regular, storage));
  if (!valid_utf8(text)) return fail(not_utf8_error());
  TARVANE_TRY(CodeTable table, parse_code_table(text));
  tables.insert_code_table(code, std::move(table));
  return {};
}

Status read_code_tables(TableSet& tables, const std::string& dir) {
  if (dir.find('\0') != std::string::npos) {
    return fail(BufrError::io_message("file name contained an unexpected NUL byte"));
  }
  // The files are opened relative to the open directory: a master directory
  // holds some 500 of them and the full path would be walked for each.
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return fail(BufrError::io_errno(errno));
  std::unique_ptr<DIR, int (*)(DIR*)> guard(d, ::closedir);
  TARVANE_TRY(auto names, matching_names(d, "", ".table"));
  tables.code_tables.reserve(tables.code_tables.size() + names.size());
  std::string storage;  // one buffer for every file of the directory
  for (const DirName& entry : names) {
    std::string_view stem = file_stem(entry.name);
    if (stem.empty() || !valid_utf8(stem)) continue;
    Status read = read_code_table_file(tables, d, entry, stem, storage);
    if (!read) return at_path(std::move(read), join_path(dir, entry.name));
  }
  return {};
}

}  // namespace

Status load_eccodes_code_tables(TableSet& tables, const std::string& dir) {
  return at_path(read_code_tables(tables, dir), dir);
}

}  // namespace tarvane
