// Whole-file reading and directory queries for the loaders and the module.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace tarvane {

// Reads the whole file; failures are Io errors with the system's text. A path
// holding a NUL byte fails with "file name contained an unexpected NUL byte".
Result<std::vector<uint8_t>> read_file(const std::string& path);

// The same into buf, which keeps its capacity between files (the table
// loaders read some 500 files per load).
Status read_file_into(const std::string& path, std::string& buf);

// Reads a file named relative to an open directory into storage, which keeps
// its size between calls (no clearing per file); returns the file's bytes.
// known_regular: the directory listing says it is a regular file.
Result<std::string_view> read_file_at(int dir_fd, const std::string& name, bool known_regular, std::string& storage);

// The failure of a path that holds a NUL byte.
BufrError nul_in_name_error();

enum class PathKind { Missing, Directory, Regular, Other };
// Follows symbolic links; any failure of the query reads as Missing.
PathKind path_kind(const std::string& path);

std::string join_path(const std::string& dir, const std::string& name);

}  // namespace tarvane
