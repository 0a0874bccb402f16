#include "unpack.hpp"

#include <limits>

#include "element.hpp"

namespace tarvane {

namespace {

// One loop per combination, so that none of them tests per value what is
// fixed for the column.
template <bool kMissing, bool kRaw, bool kScaled>
void unpack(const PackedColumn& c, std::span<const uint8_t> payload, size_t j0, size_t j1, double* value,
            uint64_t* raw, size_t stride) {
  const uint8_t* data = payload.data();
  const size_t length = payload.size();
  const uint32_t nb = c.nb;
  const uint64_t all_ones = (uint64_t{1} << nb) - 1;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  size_t bit = c.bit + j0 * nb;
  for (size_t j = j0; j < j1; ++j, bit += nb) {
    const uint64_t inc = (load_be64(data, length, bit >> 3) << (bit & 7)) >> (64 - nb);
    const uint64_t r = c.r0 + inc;
    const bool missing = kMissing && inc == all_ones;
    const double v = scaled_value(r, c.reference, kScaled ? c.scale : 0);
    value[j * stride] = missing ? nan : v;
    if constexpr (kRaw) raw[j * stride] = missing ? 0 : r;
  }
}

template <bool kMissing, bool kRaw>
void unpack_scaled_or_not(const PackedColumn& c, std::span<const uint8_t> payload, size_t j0, size_t j1,
                          double* value, uint64_t* raw, size_t stride) {
  if (c.scale == 0) return unpack<kMissing, kRaw, false>(c, payload, j0, j1, value, raw, stride);
  unpack<kMissing, kRaw, true>(c, payload, j0, j1, value, raw, stride);
}

}  // namespace

void unpack_column(const PackedColumn& c, std::span<const uint8_t> payload, size_t j0, size_t j1, double* value,
                   uint64_t* raw, size_t stride) {
  if (c.missing_allowed) {
    if (raw != nullptr) return unpack_scaled_or_not<true, true>(c, payload, j0, j1, value, raw, stride);
    return unpack_scaled_or_not<true, false>(c, payload, j0, j1, value, raw, stride);
  }
  if (raw != nullptr) return unpack_scaled_or_not<false, true>(c, payload, j0, j1, value, raw, stride);
  unpack_scaled_or_not<false, false>(c, payload, j0, j1, value, raw, stride);
}

void fill_strided(double value, uint64_t raw, size_t j0, size_t j1, double* values, uint64_t* raws, size_t stride) {
  for (size_t j = j0; j < j1; ++j) values[j * stride] = value;
  if (raws == nullptr) return;
  for (size_t j = j0; j < j1; ++j) raws[j * stride] = raw;
}

}  // namespace tarvane
