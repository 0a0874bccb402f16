#include "csv.hpp"

#include <algorithm>

#include "../fileio.hpp"
#include "../text.hpp"

namespace tarvane {

namespace {

bool is_terminator(char c) { return c == '\r' || c == '\n'; }

bool all_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

void CsvReader::consume_terminator() {
  if (data_[pos_] == '\r' && pos_ + 1 < data_.size() && data_[pos_ + 1] == '\n') ++pos_;
  ++pos_;
  ++line_;
}

void CsvReader::skip_blank_and_comment_lines() {
  while (pos_ < data_.size()) {
    char c = data_[pos_];
    if (is_terminator(c)) {
      consume_terminator();
    } else if (settings_.comments && c == '#') {
      while (pos_ < data_.size() && !is_terminator(data_[pos_])) ++pos_;
      if (pos_ < data_.size()) consume_terminator();
    } else {
      return;
    }
  }
}

BufrError CsvReader::error_at(std::string detail, const size_t* field) const {
  std::string where = "record " + std::to_string(record_) + " (line " + std::to_string(record_line_);
  if (field) where += ", field: " + std::to_string(*field);
  where += ", byte: " + std::to_string(record_byte_) + "): ";
  return BufrError::parse("CSV parse error: " + where + detail);
}

Status CsvReader::read_fields() {
  const size_t n = data_.size();
  const char delimiter = settings_.delimiter;
  for (;;) {
    if (pos_ < n && data_[pos_] == '"') {
      ++pos_;
      for (;;) {
        size_t close = data_.find('"', pos_);
        if (close == std::string_view::npos) {
          // Running to the end of the file would swallow every later record.
          size_t field = ends_.size();
          return fail(error_at("quoted field is not closed before the end of the file", &field));
        }
        for (size_t i = pos_; i < close; ++i) {
          if (data_[i] == '\n' || (data_[i] == '\r' && data_[i + 1] != '\n')) ++line_;
        }
        scratch_.append(data_.substr(pos_, close - pos_));
        pos_ = close + 1;
        if (pos_ < n && data_[pos_] == '"') {
          scratch_ += '"';
          ++pos_;
          continue;
        }
        break;
      }
    }
    // Unquoted text, or text after a closing quote, runs to the delimiter.
    size_t start = pos_;
    while (pos_ < n && data_[pos_] != delimiter && !is_terminator(data_[pos_])) ++pos_;
    scratch_.append(data_.substr(start, pos_ - start));
    ends_.push_back(scratch_.size());
    if (pos_ >= n) return {};
    if (data_[pos_] == delimiter) {
      ++pos_;
      continue;
    }
    consume_terminator();
    return {};
  }
}

bool CsvReader::enough_fields(size_t count) const {
  const size_t need = settings_.enough_fields;
  return need != 0 && count >= need && expected_fields_ >= need;
}

Result<bool> CsvReader::next(std::vector<std::string_view>& fields) {
  fields.clear();
  skip_blank_and_comment_lines();
  if (pos_ >= data_.size()) return false;
  record_line_ = line_;
  record_byte_ = pos_;
  scratch_.clear();
  ends_.clear();
  TARVANE_CHECK(read_fields());
  if (record_ == 0) {
    expected_fields_ = ends_.size();
  } else if (ends_.size() != expected_fields_ && !enough_fields(ends_.size())) {
    return fail(BufrError::parse("CSV error: record " + std::to_string(record_) + " (line: " +
                                 std::to_string(record_line_) + ", byte: " + std::to_string(record_byte_) +
                                 "): found record with " + std::to_string(ends_.size()) +
                                 " fields, but the previous record has " + std::to_string(expected_fields_) +
                                 " fields"));
  }
  std::string_view all = scratch_;
  bool ascii = all_ascii(all);
  size_t begin = 0;
  for (size_t i = 0; i < ends_.size(); ++i) {
    std::string_view field = all.substr(begin, ends_[i] - begin);
    size_t bad = 0;
    if (!ascii && !valid_utf8(field, &bad)) {
      return fail(error_at("invalid utf-8: invalid UTF-8 in field " + std::to_string(i) + " near byte index " +
                               std::to_string(bad),
                           &i));
    }
    fields.push_back(field);
    begin = ends_[i];
  }
  ++record_;
  return true;
}

Status read_csv_file(const std::string& path, std::string& text) {
  auto read = read_file_into(path, text);
  if (!read) return fail(BufrError::parse(read.error().message));
  return {};
}

}  // namespace tarvane
