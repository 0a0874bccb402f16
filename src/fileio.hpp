// Whole-file reading and directory queries for the loaders and the module.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace tarvane {

// Bounds on what one read may bring into memory. A table file is a few
// hundred kilobytes; a pipe or device (a FIFO, /dev/zero) has no size to
// check beforehand, so it is read up to the bound and then refused.
inline constexpr uint64_t kMaxTableFileBytes = uint64_t{64} << 20;
inline constexpr uint64_t kMaxStreamBytes = uint64_t{256} << 20;

// Reads the whole file; failures are Io errors with the system's text. A path
// holding a NUL byte fails with "file name contained an unexpected NUL byte".
// Unbounded: for tests and tools that read their own files.
[[nodiscard]] Result<std::vector<uint8_t>> read_file(const std::string& path);

// The bytes read from a file. Files are read, never mapped: a file cut or
// rewritten while it is in use must not fault the process.
class FileBytes {
 public:
  std::span<const uint8_t> bytes() const { return buffer_; }
  // The file's size; more than bytes().size() when only its head was read.
  uint64_t file_size() const { return file_size_; }

 private:
  friend Result<FileBytes> read_file_head(const std::string&, uint64_t, size_t);
  friend Result<FileBytes> read_whole_file(const std::string&, uint64_t);
  std::vector<uint8_t> buffer_;
  uint64_t file_size_ = 0;
};

// At most limit bytes of a file. A regular file larger than that is not read
// beyond its first head bytes (file_size tells its size); anything else
// holding more than limit bytes fails with "not a regular file and holds more
// than {limit} bytes".
[[nodiscard]] Result<FileBytes> read_file_head(const std::string& path, uint64_t limit, size_t head);

// The whole file: a regular file as far as it reaches when read (a file cut
// meanwhile gives what was left); anything else up to stream_limit bytes,
// failing as read_file_head does.
[[nodiscard]] Result<FileBytes> read_whole_file(const std::string& path, uint64_t stream_limit);

// A table file into buf, which keeps its capacity between files (the table
// loaders read some 500 files per load). More than kMaxTableFileBytes fails
// with "file holds more than {limit} bytes" before a regular file is read.
[[nodiscard]] Status read_file_into(const std::string& path, std::string& buf);

// Reads a table file named relative to an open directory into storage, which
// keeps its size between calls (no clearing per file); returns the file's
// bytes. known_regular: the directory listing says it is a regular file.
// Bounded as read_file_into.
[[nodiscard]] Result<std::string_view> read_file_at(int dir_fd, const std::string& name, bool known_regular, std::string& storage);

// The failure of a path that holds a NUL byte.
BufrError nul_in_name_error();

enum class PathKind { Missing, Directory, Regular, Other };
// Follows symbolic links; any failure of the query reads as Missing.
PathKind path_kind(const std::string& path);

std::string join_path(const std::string& dir, const std::string& name);

}  // namespace tarvane
