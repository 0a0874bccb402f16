// Decoding section 4 of a message into a flat list of values, subset after
// subset; compressed data are read column by column and regrouped.
#pragma once

#include <cstdint>
#include <span>

#include "../error.hpp"
#include "../message/message.hpp"
#include "../tables/table_set.hpp"
#include "decoded_value.hpp"

namespace tarvane {

// payload: the section 4 data bytes. The result refers into tables (names,
// meanings) and must not outlive it.
[[nodiscard]] Result<DecodeResult> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                std::span<const uint8_t> payload);

// The same for uncompressed data only, into result (emptied first), whose
// storage a caller decoding many messages may keep from one to the next.
[[nodiscard]] Status decode_uncompressed_into(const BufrMessage& message, const TableSet& tables, std::span<const uint8_t> payload,
                                DecodeResult& result);

}  // namespace tarvane
