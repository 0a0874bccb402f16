// Packed compressed columns unpacked straight into the reading layer's
// output arrays: one 64-bit load per increment, no record in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "walk.hpp"

namespace tarvane {

// Subsets [j0, j1) of column into value[j * stride] (NaN where missing)
// and, when raw is not nullptr, raw[j * stride] (0 where missing): what the
// column's records would give. payload holds every increment of the column.
void unpack_column(const PackedColumn& column, std::span<const uint8_t> payload, size_t j0, size_t j1,
                   double* value, uint64_t* raw, size_t stride);

// value (and raw) at every stride-th place of [j0, j1).
void fill_strided(double value, uint64_t raw, size_t j0, size_t j1, double* values, uint64_t* raws, size_t stride);

}  // namespace tarvane
