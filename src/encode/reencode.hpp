// A message decoded and written again: the data through the writer, the
// header from the caller (the source's with any fields changed).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "encode.hpp"

namespace tarvane {

// source: one whole message of edition 3 or 4. header gives section 1, the
// edition and compressed_data; the descriptors, observed flag and section 2
// are the source's. With only_subset, that one subset (0-based) alone.
[[nodiscard]] Result<std::vector<uint8_t>> reencode_message(std::span<const uint8_t> source, const BufrMessage& header,
                                                            const TableSet& tables,
                                                            std::optional<size_t> only_subset = std::nullopt);

// Section 2's octets after its 4-octet header (empty where there is none).
std::span<const uint8_t> local_section_of(const BufrMessage& m, std::span<const uint8_t> bytes);

}  // namespace tarvane
