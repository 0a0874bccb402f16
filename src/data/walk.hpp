// What one decoding call threads through its descriptor walk: the reader,
// the element cache, the output and the bounds on work and output size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../bitstream.hpp"
#include "../error.hpp"
#include "../tables/table_set.hpp"
#include "decoded_value.hpp"
#include "element.hpp"

namespace tarvane {

// Nesting levels allowed below the top-level walk of a subset or message.
inline constexpr uint32_t kMaxDecodeDepth = 64;

// Nested replications can make a tiny message ask for billions of records,
// or billions of descriptor visits that produce none. Both are bounded by
// the payload: limit = 4,194,304 + 32 per payload bit.
struct DecodeLimits {
  uint64_t max_items = 0;
  size_t payload_bytes = 0;
};

inline DecodeLimits decode_limits(size_t payload_bytes) {
  return {uint64_t{4194304} + uint64_t{256} * payload_bytes, payload_bytes};
}

BufrError output_limit_error(const DecodeLimits& limits);
BufrError walk_limit_error(const DecodeLimits& limits);

struct DecodeContext {
  DecodeContext(const TableSet& tables, std::span<const uint8_t> payload, DecodeResult& result)
      : cache(tables), reader(payload), out(result), limits(decode_limits(payload.size())) {}

  ElementCache cache;
  BitReader reader;
  DecodeResult& out;  // records (uncompressed) and texts (both layouts)
  DecodeLimits limits;
  uint64_t steps = 0;
  // Compressed data: n records per column, the columns one after another.
  std::vector<DecodedValue> cells;
  size_t columns = 0;
  uint16_t subsets = 0;
};

Status decode_descriptor_values_inner(std::span<const uint32_t> descriptors, DecodeContext& ctx,
                                      ValueCodingState& state, uint32_t depth);

// The whole compressed message into ctx.out, regrouped by subset.
Status decode_compressed_values(std::span<const uint32_t> descriptors, DecodeContext& ctx);

}  // namespace tarvane
