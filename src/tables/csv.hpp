// The RFC 4180 record reader behind element.table ('|', '#' comments) and
// the WMO CSV tables (',', a header row that the caller skips).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../error.hpp"

namespace tarvane {

struct CsvSettings {
  char delimiter = ',';
  bool comments = false;  // a line starting with '#' is skipped whole
  // 0: every record has as many fields as the first. N: a record may differ
  // from the first when both have at least N fields (all the caller reads).
  size_t enough_fields = 0;
};

// Reads records from a text held whole in memory. A field that begins with a
// double quote is quoted: it runs to the next lone quote, "" stands for one
// quote, delimiters and line ends inside it are text. CR, LF and CR LF end a
// record; empty lines are skipped. Every record must be valid UTF-8 and have
// as many fields as the first one, or enough for the caller (see settings).
class CsvReader {
 public:
  // A UTF-8 byte order mark at the start is not part of the first field.
  CsvReader(std::string_view data, CsvSettings settings)
      : data_(data), settings_(settings), pos_(data.starts_with("\xEF\xBB\xBF") ? 3 : 0) {}

  // The next record's fields (views valid until the next call): true, or
  // false at the end of the text, or the reader's error as a Parse error.
  [[nodiscard]] Result<bool> next(std::vector<std::string_view>& fields);

 private:
  bool enough_fields(size_t count) const;
  void consume_terminator();
  void skip_blank_and_comment_lines();
  [[nodiscard]] Status read_fields();
  BufrError error_at(std::string detail, const size_t* field) const;

  std::string_view data_;
  CsvSettings settings_;
  size_t pos_;
  uint64_t line_ = 1;
  uint64_t record_ = 0;  // records read so far
  size_t expected_fields_ = 0;
  std::string scratch_;        // field bytes of the current record
  std::vector<size_t> ends_;   // end offset of each field in scratch_
  uint64_t record_line_ = 1;  // where the current record starts
  size_t record_byte_ = 0;
};

// Reads a file for the record reader, whole; a file it cannot open or read is
// reported as the reader's own failure, a Parse error with the system's text.
[[nodiscard]] Status read_csv_file(const std::string& path, std::string& text);


}  // namespace tarvane
