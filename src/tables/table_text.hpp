// Small text and file helpers shared by the table loaders (not part of the
// public loader interface).
#pragma once

#include <cstddef>
#include <dirent.h>
#include <string>
#include <string_view>
#include <vector>

#include "../error.hpp"

namespace tarvane {

// Unicode White_Space trimming on UTF-8 text.
std::string_view trim_ws(std::string_view s);

// Splits s at runs of Unicode white space, one word per call: returns false
// when no word is left. pos is the scan position, 0 on the first call.
bool next_word(std::string_view s, size_t& pos, std::string_view& word);

// Splits text into lines at line feeds, dropping one carriage return before
// each; returns false after the last line. pos starts at 0.
bool next_line(std::string_view text, size_t& pos, std::string_view& line);

// Integer reading shared by parse_code, parse_i32/i64/u16 and the code table
// keys. On failure the reason text, else nullptr.
const char* parse_u64_reason(std::string_view s, uint64_t& out);


struct DirName {
  std::string name;
  bool regular;  // the listing says so; false when it does not know
};

// Entries of an open directory whose names start with prefix and end with
// suffix (names compared as UTF-8 with invalid bytes replaced), sorted byte
// by byte.
[[nodiscard]] Result<std::vector<DirName>> matching_names(DIR* dir, std::string_view prefix, std::string_view suffix);

// Io error for text files that are not UTF-8.
BufrError not_utf8_error();

// The directory part of a path, as its parent; false for "/" and "".
bool parent_path(const std::string& path, std::string& parent);

}  // namespace tarvane
