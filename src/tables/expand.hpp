// Expansion of a descriptor list into the flat list it stands for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../error.hpp"
#include "table_set.hpp"

namespace tarvane {

inline constexpr uint32_t kMaxExpansionDepth = 64;
// Bounds that keep hostile lists (nested replications of 255, sequences of
// sequences that expand to nothing) from exhausting memory or time; real
// lists stay far below both.
inline constexpr size_t kMaxExpansionLength = 10'000'000;
inline constexpr uint64_t kMaxExpansionSteps = 10'000'000;

struct ExpansionState {
  uint8_t associated_field_width = 0;
  uint64_t steps = 0;  // descriptors visited so far, at every level
};

// Appends the expansion of descriptors to out; returns the count appended.
[[nodiscard]] Result<size_t> expand_into(const TableSet& tables, std::span<const uint32_t> descriptors, std::vector<uint32_t>& out,
                           ExpansionState& state, uint32_t depth);

// A whole expansion from an empty list, a fresh state and depth 0.
[[nodiscard]] Result<std::vector<uint32_t>> expand_descriptors(const TableSet& tables, std::span<const uint32_t> descriptors);

}  // namespace tarvane
