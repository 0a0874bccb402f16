// Most-significant-bit-first writer for section 4, the mirror of BitReader:
// fields gather in a 64-bit word that is stored whole when full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace tarvane {

class BitWriter {
 public:
  size_t bits() const { return bytes_.size() * 8 + used_; }

  // The low width (0..64) bits of value.
  void put(uint64_t value, uint32_t width) {
    if (width == 0) return;
    if (width < 64) value &= (uint64_t{1} << width) - 1;
    const uint32_t room = 64 - used_;
    if (width < room) {
      word_ |= value << (room - width);
      used_ += width;
      return;
    }
    // Fill the word, store it, keep the rest.
    const uint32_t rest = width - room;
    word_ |= rest == 0 ? value : value >> rest;
    flush_word();
    word_ = rest == 0 ? 0 : value << (64 - rest);
    used_ = rest;
  }

  // width bits all ones (a missing value of any width) or all zeros.
  void put_ones(uint32_t width) { put_repeated(~uint64_t{0}, width); }
  void put_zeros(uint32_t width) { put_repeated(0, width); }

  // Bytes of text, then pad bytes to width bits; width need not be whole
  // bytes (the last byte's high bits are written).
  void put_bytes(std::span<const uint8_t> text, uint32_t width, uint8_t pad) {
    for (size_t k = 0; width != 0; ++k) {
      const uint32_t w = width < 8 ? width : 8;
      const uint8_t b = k < text.size() ? text[k] : pad;
      put(b >> (8 - w), w);
      width -= w;
    }
  }

  // The bits written, zero-padded to whole bytes.
  std::vector<uint8_t> finish() {
    std::vector<uint8_t> out = std::move(bytes_);
    const size_t tail = (used_ + 7) / 8;
    for (size_t k = 0; k < tail; ++k) out.push_back(static_cast<uint8_t>(word_ >> (56 - 8 * k)));
    bytes_.clear();
    word_ = 0;
    used_ = 0;
    return out;
  }

  void reserve_bits(size_t n) { bytes_.reserve(n / 8 + 8); }

 private:
  void put_repeated(uint64_t word, uint32_t width) {
    for (; width >= 64; width -= 64) put(word, 64);
    put(word, width);
  }

  void flush_word() {
    const size_t at = bytes_.size();
    bytes_.resize(at + 8);
    const uint64_t be = __builtin_bswap64(word_);
    std::memcpy(bytes_.data() + at, &be, 8);
  }

  std::vector<uint8_t> bytes_;
  uint64_t word_ = 0;  // pending bits, left-aligned
  uint32_t used_ = 0;
};

}  // namespace tarvane
