// What one decoding call threads through its descriptor walk: the reader,
// the element cache, the output and the bounds on work and output size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../bitstream.hpp"
#include "../error.hpp"
#include "../message/message.hpp"
#include "../tables/descriptor_walk.hpp"
#include "../tables/table_set.hpp"
#include "decoded_value.hpp"
#include "element.hpp"

namespace tarvane {

// Nesting levels allowed below the top-level walk of a subset or message.
inline constexpr uint32_t kMaxDecodeDepth = 64;

// Elements a walk's history and columns make room for before it starts: a
// SYNOP or TEMP subset's worth (2 KiB of history).
inline constexpr size_t kHistoryGuess = 256;

// Nested replications can make a tiny message ask for billions of records,
// or billions of descriptor visits that produce none. Both are bounded by
// the payload: limit = 1,048,576 + 16 per payload bit. Real messages stay
// below one record per bit (the densest corpus message, compressed with
// 2070 subsets, has 0.82), and at the limit a call still ends in well under
// a second.
struct DecodeLimits {
  uint64_t max_items = 0;
  size_t payload_bytes = 0;
};

inline DecodeLimits decode_limits(size_t payload_bytes) {
  return {uint64_t{1048576} + uint64_t{128} * payload_bytes, payload_bytes};
}

BufrError output_limit_error(const DecodeLimits& limits);
BufrError walk_limit_error(const DecodeLimits& limits);

// A numeric column left in the payload, for a reader that unpacks the
// increments straight into its own output: value j is R0 plus the nb bits
// at bit + j * nb (all ones: missing, where missing_allowed).
struct PackedColumn {
  size_t bit = 0;
  uint64_t r0 = 0;
  int64_t reference = 0;
  int32_t scale = 0;
  uint32_t nb = 0;  // 1..kMaxPackedWidth
  bool missing_allowed = false;
};
// Wide enough for every real increment, narrow enough that one 64-bit load
// at any bit offset holds a whole one.
inline constexpr uint32_t kMaxPackedWidth = 56;

// Where a column reader writes the n records of a column, stride apart.
// Where packed is given, a numeric column of varying values may instead be
// added there and stand as a constant column of its R0 record (a column of
// code-table values only where pack_coded: its records' meanings are lost).
struct ColumnView {
  DecodedValue* first = nullptr;
  size_t stride = 1;
  size_t n = 0;
  std::vector<PackedColumn>* packed = nullptr;
  bool pack_coded = false;

  DecodedValue& operator[](size_t j) const { return first[j * stride]; }
  size_t size() const { return n; }
  bool empty() const { return n == 0; }
};

// Compressed data are read column by column in one walk. Most columns hold
// one value for every subset (NBINC 0): such a column keeps a single record,
// the others one per subset, all in `records` in reading order. At the end
// the subset-ordered output is written in one sequential sweep.
struct ColumnRef {
  static constexpr uint32_t kNotPacked = UINT32_MAX;
  size_t first = 0;  // index in records
  size_t step = 0;   // 0: one record for all subsets; 1: one per subset
  // Index in packed: the values are there, records[first] has the rest.
  uint32_t packed = kNotPacked;
};

struct CompressedColumns {
  RecordBuffer records;
  std::vector<ColumnRef> refs;
  // Filled only when pack is set (by a reader that can unpack them).
  std::vector<PackedColumn> packed;
  bool pack = false;
  bool pack_coded = false;
};

struct DecodeContext {
  DecodeContext(const TableSet& tables, std::span<const uint8_t> payload, DecodeResult& result)
      : cache(tables), payload(payload), reader(payload), out(result), limits(decode_limits(payload.size())) {}

  ElementCache cache;
  std::span<const uint8_t> payload;
  BitReader reader;
  DecodeResult& out;  // records (uncompressed) and texts (both layouts)
  DecodeLimits limits;
  uint64_t steps = 0;
  // Compressed data only.
  CompressedColumns columns;
  uint16_t subsets = 0;
};

// What the subset reader and the compressed reader share as visitors of the
// descriptor walk (Reader derives from it): a replication's group walked as
// often as the descriptor or the data say.
template <class Reader>
struct DataReader {
  static constexpr uint32_t kMaxDepth = kMaxDecodeDepth;
  static uint32_t replication_count(uint32_t y) { return y; }

  DecodeContext& ctx;
  ValueCodingState& state;

  const TableSet& tables() const { return ctx.cache.tables(); }

  [[nodiscard]] Status repeat(uint64_t count, std::span<const uint32_t> group, uint32_t depth) {
    return walk_group(count, group, static_cast<Reader&>(*this), depth);
  }
  [[nodiscard]] Status fixed(uint32_t, uint32_t count, std::span<const uint32_t> group, uint32_t depth) {
    return repeat(count, group, depth);
  }
};

[[nodiscard]] Status decode_descriptor_values_inner(std::span<const uint32_t> descriptors, DecodeContext& ctx,
                                      ValueCodingState& state, uint32_t depth);

// One element of the uncompressed walk; info is code's Table B entry, or
// nullptr where the tables lack it.
[[nodiscard]] Status decode_element_step(uint32_t code, const ElementInfo* info, DecodeContext& ctx, ValueCodingState& state);

// One operator of the uncompressed walk: changes the state, or reads what a
// bitmap marker or 2 05 YYY designates.
[[nodiscard]] Status decode_operator_step(uint32_t code, DecodeContext& ctx, ValueCodingState& state);

// decode_uncompressed_values by the recursive walk alone, and by a compiled
// program wherever the descriptors compile (also for a single subset): the
// two are tested against each other.
[[nodiscard]] Result<DecodeResult> decode_uncompressed_values_recursive(const BufrMessage& message, const TableSet& tables,
                                                          std::span<const uint8_t> payload);
[[nodiscard]] Result<DecodeResult> decode_uncompressed_values_compiled(const BufrMessage& message, const TableSet& tables,
                                                         std::span<const uint8_t> payload);

// The columns of a compressed message into ctx.columns (texts into
// ctx.out.texts), not regrouped: subset j of column k is
// records[refs[k].first + j * refs[k].step].
[[nodiscard]] Status decode_compressed_columns(std::span<const uint32_t> descriptors, DecodeContext& ctx);

// The whole compressed message into ctx.out, regrouped by subset.
[[nodiscard]] Status decode_compressed_values(std::span<const uint32_t> descriptors, DecodeContext& ctx);

}  // namespace tarvane
