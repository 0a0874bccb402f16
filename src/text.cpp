#include "text.hpp"

#include <cstdint>
#include <cstdio>

namespace tarvane {

namespace {

// Decode one UTF-8 sequence at s[i]; returns its length, or 0 when invalid.
size_t decode_one(std::string_view s, size_t i, char32_t& out) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  if (c < 0x80) {
    out = c;
    return 1;
  }
  size_t n;
  char32_t cp;
  char32_t min;
  if ((c & 0xE0) == 0xC0) {
    n = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  out = cp;
  return n;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

struct Range {
  char32_t lo, hi;
};

// Format characters, separators other than the space, and other code points
// that are never printed as themselves.
constexpr Range kNonPrintable[] = {
    {0x00A0, 0x00A0}, {0x00AD, 0x00AD}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD},
    {0x070F, 0x070F}, {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x1680, 0x1680}, {0x180E, 0x180E},
    {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x2064}, {0x2066, 0x206F}, {0x3000, 0x3000},
    {0xD800, 0xF8FF}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
};

}  // namespace

bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
  if ((c & 0xFFFE) == 0xFFFE) return false;  // noncharacters U+xxFFFE, U+xxFFFF
  if (c >= 0xFDD0 && c <= 0xFDEF) return false;
  for (const Range& r : kNonPrintable) {
    if (c >= r.lo && c <= r.hi) return false;
  }
  return true;
}

std::string quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < s.size()) {
    char32_t c;
    size_t n = decode_one(s, i, c);
    if (n == 0) {
      out += "\\u{fffd}";
      i += 1;
      continue;
    }
    i += n;
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (is_printable(c)) {
      append_utf8(out, c);
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    }
  }
  out += '"';
  return out;
}

std::string lossy_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    char32_t c;
    size_t n = decode_one(s, i, c);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += 1;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

bool valid_utf8(std::string_view s, size_t* bad_index) {
  size_t i = 0;
  while (i < s.size()) {
    // ASCII runs are the common case.
    if (static_cast<uint8_t>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t c;
    size_t n = decode_one(s, i, c);
    if (n == 0) {
      if (bad_index) *bad_index = i;
      return false;
    }
    i += n;
  }
  return true;
}

namespace {

// Length of the kept prefix, not splitting a UTF-8 sequence.
size_t prefix_length(std::string_view text) {
  if (text.size() <= kShownTextBytes) return text.size();
  size_t n = kShownTextBytes;
  for (int back = 0; back < 3 && n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80; ++back) --n;
  return n;
}

std::string cut_mark(std::string_view text) { return "... (" + std::to_string(text.size()) + " bytes)"; }

}  // namespace

std::string text_prefix(std::string_view text) {
  size_t n = prefix_length(text);
  if (n == text.size()) return std::string(text);
  return std::string(text.substr(0, n)) + cut_mark(text);
}

std::string quoted_prefix(std::string_view utf8) {
  size_t n = prefix_length(utf8);
  if (n == utf8.size()) return quoted(utf8);
  return quoted(utf8.substr(0, n)) + cut_mark(utf8);
}

}  // namespace tarvane
