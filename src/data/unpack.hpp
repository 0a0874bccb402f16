// Packed compressed columns unpacked straight into the reading layer's
// output arrays: one 64-bit load per increment, no record in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "walk.hpp"

namespace tarvane {

// The 8 bytes from byte on, big-endian, zeros past the end.
inline uint64_t load_be64(const uint8_t* data, size_t length, size_t byte) {
  uint64_t w;
  if (byte + 8 <= length) [[likely]] {
    std::memcpy(&w, data + byte, 8);
    return __builtin_bswap64(w);
  }
  w = 0;
  for (size_t k = 0; k < 8; ++k) w = (w << 8) | (byte + k < length ? data[byte + k] : 0);
  return w;
}

// Increment j of column (one load: nb is at most kMaxPackedWidth).
inline uint64_t packed_increment(const PackedColumn& column, std::span<const uint8_t> payload, size_t j) {
  const size_t bit = column.bit + j * column.nb;
  return (load_be64(payload.data(), payload.size(), bit >> 3) << (bit & 7)) >> (64 - column.nb);
}

// Subsets [j0, j1) of column into value[j * stride] (NaN where missing)
// and, when raw is not nullptr, raw[j * stride] (0 where missing): what the
// column's records would give. payload holds every increment of the column.
void unpack_column(const PackedColumn& column, std::span<const uint8_t> payload, size_t j0, size_t j1,
                   double* value, uint64_t* raw, size_t stride);

// value (and raw) at every stride-th place of [j0, j1).
void fill_strided(double value, uint64_t raw, size_t j0, size_t j1, double* values, uint64_t* raws, size_t stride);

}  // namespace tarvane
