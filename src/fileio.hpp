// Whole-file reading and directory queries for the loaders and the module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"

namespace tarvane {

// Reads the whole file; failures are Io errors with the system's text. A path
// holding a NUL byte fails with "file name contained an unexpected NUL byte".
Result<std::vector<uint8_t>> read_file(const std::string& path);
Result<std::string> read_file_text(const std::string& path);

enum class PathKind { Missing, Directory, Regular, Other };
// Follows symbolic links; any failure of the query reads as Missing.
PathKind path_kind(const std::string& path);

std::string join_path(const std::string& dir, const std::string& name);

}  // namespace tarvane
