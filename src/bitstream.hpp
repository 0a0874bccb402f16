// Most-significant-bit-first reader over section 4. Values are gathered a
// machine word at a time; the failure texts are those of the bit-by-bit
// definition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "error.hpp"

namespace tarvane {

class BitReader {
 public:
  BitReader() = default;
  explicit BitReader(std::span<const uint8_t> data) : data_(data.data()), length_(data.size()) {}

  size_t position() const { return position_; }
  size_t length() const { return length_; }
  size_t bits_available() const { return length_ * 8; }
  size_t bits_remaining() const { return length_ * 8 - position_; }

  // Hot path: reads width (0..64) bits into out and returns true, or returns
  // false and consumes nothing. The caller builds the error with read_error.
  bool try_read(uint32_t width, uint64_t& out) {
    if (width == 0) {
      out = 0;
      return true;
    }
    if (width > 64 || width > bits_remaining()) return false;
    out = peek(width);
    position_ += width;
    return true;
  }

  // Moves past bits, which the caller has made sure the reader holds.
  void skip(size_t bits) { position_ += bits; }

  // The error a failed try_read(width) stands for.
  BufrError read_error(uint32_t width) const;

  [[nodiscard]] Result<uint64_t> read_u64(uint16_t width) {
    uint64_t v;
    if (try_read(width, v)) return v;
    return fail(read_error(width));
  }

  [[nodiscard]] Result<std::vector<uint8_t>> read_bytes(uint16_t width);

  // read_bytes into caller storage of at least (width + 7) / 8 bytes.
  [[nodiscard]] Status read_bytes_into(uint32_t width, uint8_t* out);

 private:
  // width 1..64 bits at position_, known to be in range.
  uint64_t peek(uint32_t width) const {
    size_t byte = position_ >> 3;
    unsigned shift = position_ & 7;
    uint64_t hi;
    if (byte + 8 <= length_) {
      std::memcpy(&hi, data_ + byte, 8);
      hi = __builtin_bswap64(hi);
    } else {
      hi = 0;
      for (size_t k = 0; k < 8; ++k) hi = (hi << 8) | (byte + k < length_ ? data_[byte + k] : 0);
    }
    if (shift != 0) {
      hi <<= shift;
      if (shift + width > 64) hi |= static_cast<uint64_t>(data_[byte + 8]) >> (8 - shift);
    }
    return hi >> (64 - width);
  }

  const uint8_t* data_ = nullptr;
  size_t length_ = 0;
  size_t position_ = 0;
};

}  // namespace tarvane
