// Descriptor codes: the integer form F*100000 + X*1000 + Y used throughout,
// the 16-bit form of section 3 and the six-digit text form.
#pragma once

#include <cstdint>
#include <string>

namespace tarvane {

struct DescriptorParts {
  uint32_t f;
  uint32_t x;
  uint32_t y;
};

constexpr DescriptorParts split_code(uint32_t code) {
  return {code / 100000, (code % 100000) / 1000, code % 1000};
}

constexpr uint32_t make_code(uint32_t f, uint32_t x, uint32_t y) { return f * 100000 + x * 1000 + y; }

// Two section 3 bytes: F in the top 2 bits, X in the low 6, Y in the second.
constexpr uint32_t code_from_section3(uint8_t first, uint8_t second) {
  return make_code(first >> 6, first & 0x3F, second);
}

// Decimal, zero-padded on the left to at least six digits.
std::string code_text(uint64_t code);

// Class 31 holds replication factors, data-present indicators and the like.
constexpr bool is_class31(uint32_t code) {
  uint32_t xy = code % 100000;
  return xy >= 31000 && xy <= 31999;
}

}  // namespace tarvane
