// Field parsers of the table loaders: descriptor codes and the fixed-width
// integer columns, with the four reason texts every loader reports.
#include <cstdint>
#include <limits>

#include "../text.hpp"
#include "loaders.hpp"
#include "table_text.hpp"

namespace tarvane {

namespace {

constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kInvalidDigit = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";
constexpr const char* kTooSmall = "number too small to fit in target type";

// Byte length of the white-space character starting at s[i], or 0.
size_t ws_at(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c < 0x80) return 0;
  size_t left = s.size() - i;
  if (c == 0xC2 && left >= 2) return (b(i + 1) == 0x85 || b(i + 1) == 0xA0) ? 2 : 0;
  if (left < 3) return 0;
  unsigned char c1 = b(i + 1), c2 = b(i + 2);
  if (c == 0xE1) return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;  // U+1680
  if (c == 0xE3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;  // U+3000
  if (c != 0xE2) return 0;
  if (c1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return (c2 <= 0x8A && c2 >= 0x80) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF ? 3 : 0;
  }
  return (c1 == 0x81 && c2 == 0x9F) ? 3 : 0;  // U+205F
}

// Byte length of the white-space character ending just before s[end], or 0.
size_t ws_before(std::string_view s, size_t end) {
  for (size_t len = 1; len <= 3 && len <= end; ++len) {
    if (ws_at(s.substr(0, end), end - len) == len) return len;
  }
  return 0;
}

template <typename T>
const char* parse_integer(std::string_view s, T& out) {
  if (s.empty()) return kEmpty;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    if (s.size() == 1) return kInvalidDigit;
    if (s[0] == '-') {
      if (!std::numeric_limits<T>::is_signed) return kInvalidDigit;
      negative = true;
    }
    s.remove_prefix(1);
  }
  // Digit by digit, so the first problem met from the left is the one reported.
  T value = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return kInvalidDigit;
    T digit = static_cast<T>(ch - '0');
    if (__builtin_mul_overflow(value, T(10), &value)) return negative ? kTooSmall : kTooLarge;
    bool overflow = negative ? __builtin_sub_overflow(value, digit, &value) : __builtin_add_overflow(value, digit, &value);
    if (overflow) return negative ? kTooSmall : kTooLarge;
  }
  out = value;
  return nullptr;
}

template <typename T>
Result<T> parse_column(std::string_view text, const char* what) {
  T value{};
  if (const char* reason = parse_integer(text, value)) {
    return fail(BufrError::parse(std::string("bad ") + what + " " + quoted_prefix(text) + ": " + reason));
  }
  return value;
}

}  // namespace

std::string_view trim_ws(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    size_t n = ws_at(s, begin);
    if (n == 0) break;
    begin += n;
  }
  size_t end = s.size();
  while (end > begin) {
    size_t n = ws_before(s, end);
    if (n == 0) break;
    end -= n;
  }
  return s.substr(begin, end - begin);
}

bool next_word(std::string_view s, size_t& pos, std::string_view& word) {
  while (pos < s.size()) {
    size_t n = ws_at(s, pos);
    if (n == 0) break;
    pos += n;
  }
  if (pos >= s.size()) return false;
  size_t start = pos;
  while (pos < s.size() && ws_at(s, pos) == 0) ++pos;
  word = s.substr(start, pos - start);
  return true;
}

bool next_line(std::string_view text, size_t& pos, std::string_view& line) {
  if (pos >= text.size()) return false;
  size_t nl = text.find('\n', pos);
  size_t end = nl == std::string_view::npos ? text.size() : nl;
  line = text.substr(pos, end - pos);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  pos = nl == std::string_view::npos ? text.size() : nl + 1;
  return true;
}

const char* parse_u64_reason(std::string_view s, uint64_t& out) { return parse_integer(s, out); }

Result<uint32_t> parse_code(std::string_view text) {
  std::string_view t = trim_ws(text);
  while (!t.empty() && t.front() == '"') t.remove_prefix(1);
  while (!t.empty() && t.back() == '"') t.remove_suffix(1);
  uint32_t value = 0;
  if (const char* reason = parse_integer(t, value)) {
    return fail(BufrError::parse("bad descriptor code " + quoted_prefix(text) + ": " + reason));
  }
  return value;
}

Result<int32_t> parse_i32(std::string_view text) { return parse_column<int32_t>(text, "i32"); }
Result<int64_t> parse_i64(std::string_view text) { return parse_column<int64_t>(text, "i64"); }
Result<uint16_t> parse_u16(std::string_view text) { return parse_column<uint16_t>(text, "u16"); }

}  // namespace tarvane
