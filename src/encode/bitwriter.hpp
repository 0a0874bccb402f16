// Most-significant-bit-first writer for section 4, the mirror of BitReader:
// fields gather in a 64-bit word that is stored whole when full.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "../data/unpack.hpp"

namespace tarvane {

class BitWriter {
 public:
  size_t bits() const { return size_ * 8 + used_; }

  // The low width (0..64) bits of value.
  [[gnu::always_inline]] void put(uint64_t value, uint32_t width) {
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

  // n fields of width (0..63) bits, field(k) the k-th (its low bits): the
  // pending word kept in a register over the run.
  template <class Field>
  void put_run(size_t n, uint32_t width, Field field) {
    if (width == 0 || n == 0) return;
    make_room((n * width + used_) / 64 * 8);
    uint8_t* p = bytes_.data() + size_;
    const uint64_t mask = (uint64_t{1} << width) - 1;
    uint64_t word = word_;
    uint32_t used = used_;
    for (size_t k = 0; k < n; ++k) {
      const uint64_t value = field(k) & mask;
      const uint32_t room = 64 - used;
      if (width < room) {
        word |= value << (room - width);
        used += width;
        continue;
      }
      const uint32_t rest = width - room;
      store_word(p, word | (rest == 0 ? value : value >> rest));
      p += 8;
      word = rest == 0 ? 0 : value << (64 - rest);
      used = rest;
    }
    size_ = static_cast<size_t>(p - bytes_.data());
    word_ = word;
    used_ = used;
  }

  // count bits of src from bit on, as they lie there.
  void put_bits(std::span<const uint8_t> src, size_t bit, size_t count) {
    const size_t chunks = count / 56;
    put_run(chunks, 56, [&](size_t k) {
      const size_t b = bit + k * 56;
      return load_be64(src.data(), src.size(), b >> 3) << (b & 7) >> 8;
    });
    const uint32_t rest = static_cast<uint32_t>(count % 56);
    if (rest == 0) return;
    const size_t b = bit + chunks * 56;
    put(load_be64(src.data(), src.size(), b >> 3) << (b & 7) >> (64 - rest), rest);
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
    bytes_.resize(size_);
    std::vector<uint8_t> out = std::move(bytes_);
    const size_t tail = (used_ + 7) / 8;
    for (size_t k = 0; k < tail; ++k) out.push_back(static_cast<uint8_t>(word_ >> (56 - 8 * k)));
    bytes_.clear();
    size_ = 0;
    word_ = 0;
    used_ = 0;
    return out;
  }

  void reserve_bits(size_t n) { make_room(n / 8); }

 private:
  void put_repeated(uint64_t word, uint32_t width) {
    for (; width >= 64; width -= 64) put(word, 64);
    put(word, width);
  }

  static void store_word(uint8_t* p, uint64_t word) {
    const uint64_t be = __builtin_bswap64(word);
    std::memcpy(p, &be, 8);
  }

  void flush_word() {
    make_room(8);
    store_word(bytes_.data() + size_, word_);
    size_ += 8;
  }

  // bytes_ holds at least n more bytes past size_: grown by doubling, so
  // that words are stored without growing it each time.
  void make_room(size_t n) {
    if (bytes_.size() - size_ >= n) return;
    bytes_.resize(std::max(2 * bytes_.size(), size_ + n + 64));
  }

  std::vector<uint8_t> bytes_;  // [0, size_) written
  size_t size_ = 0;
  uint64_t word_ = 0;  // pending bits, left-aligned
  uint32_t used_ = 0;
};

}  // namespace tarvane
