// What the subset writer and the column writer share as visitors of the
// descriptor walk: the element cache, the bits and the bound on work.
#pragma once

#include <cstdint>
#include <span>

#include "../data/element.hpp"
#include "../data/walk.hpp"
#include "../tables/descriptor_walk.hpp"
#include "bitwriter.hpp"
#include "encode.hpp"

namespace tarvane {

struct WriteContext {
  explicit WriteContext(const TableSet& tables) : cache(tables) {}
  ElementCache cache;
  BitWriter out;
  uint64_t steps = 0;
};

// Nested replications of operators alone write nothing and could walk for
// ever; far above any real template.
inline constexpr uint64_t kMaxWriteSteps = uint64_t{1} << 28;

// A text padded with spaces to width bits; missing: all ones.
inline void put_text(BitWriter& out, std::optional<std::string_view> text, uint32_t width) {
  if (!text) return out.put_ones(width);
  out.put_bytes({reinterpret_cast<const uint8_t*>(text->data()), text->size()}, width, ' ');
}

// A new reference value as the reader takes it: sign bit, then magnitude.
[[nodiscard]] Result<uint64_t> new_reference_bits(uint32_t code, int64_t reference, uint32_t width);

[[gnu::cold]] BufrError write_limit_error();

template <class Writer>
struct DataWriter {
  static constexpr uint32_t kMaxDepth = kMaxDecodeDepth;
  static uint32_t replication_count(uint32_t y) { return y; }

  WriteContext& ctx;
  ValueCodingState& state;

  const TableSet& tables() const { return ctx.cache.tables(); }
  BufrError depth_error() const { return BufrError::encode("descriptors nest too deep to encode"); }
  Status visit() {
    if (++ctx.steps > kMaxWriteSteps) [[unlikely]] return fail(write_limit_error());
    return {};
  }
  [[nodiscard]] Status repeat(uint64_t count, std::span<const uint32_t> group, uint32_t depth) {
    for (; count != 0; --count) TARVANE_CHECK(walk_descriptors(group, static_cast<Writer&>(*this), depth + 1));
    return {};
  }
  [[nodiscard]] Status fixed(uint32_t, uint32_t count, std::span<const uint32_t> group, uint32_t depth) {
    return repeat(count, group, depth);
  }
  // The scale a new reference of code is applied under.
  int32_t reference_scale(uint32_t code) const {
    const ElementInfo* info = ctx.cache.find(code);
    return info == nullptr ? 0 : effective_scale(info->def->scale, state);
  }
  // The Table B entry of a factor element; the walk needs it.
  [[nodiscard]] Result<const ElementInfo*> factor_info(uint32_t factor_code) const {
    const ElementInfo* info = ctx.cache.find(factor_code);
    if (info == nullptr || info->is_text) return fail(BufrError::element_not_found(factor_code));
    return info;
  }
};

[[nodiscard]] Status write_uncompressed(std::span<const uint32_t> descriptors, WriteContext& ctx,
                                        std::span<ValueSource* const> subsets);
[[nodiscard]] Status write_compressed(std::span<const uint32_t> descriptors, WriteContext& ctx,
                                      std::span<ValueSource* const> subsets);

}  // namespace tarvane
