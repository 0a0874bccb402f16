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
#include "value_coding.hpp"

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
    return walk_group(count, group, static_cast<Writer&>(*this), depth);
  }
  [[nodiscard]] Status fixed(uint32_t, uint32_t count, std::span<const uint32_t> group, uint32_t depth) {
    return repeat(count, group, depth);
  }
  Writer& self() { return static_cast<Writer&>(*this); }

  // The writer provides number (a numeric item: its value read back, as
  // entry_read_back gives it), text, new_reference (2 03 YYY in force),
  // skip_operator and bitmap_value (what note_element is given).
  Status element(uint32_t code) {
    if (state.reference_definition_width != 0) [[unlikely]] return self().new_reference(code);
    if (state.associated_field_width != 0 && (code % 100000) / 1000 != 31) {
      TARVANE_TRY(auto read, self().number(kAssociatedFieldCode, nullptr, associated_target(state.associated_field_width)));
      (void)read;
    }
    const ElementInfo* info = ctx.cache.find(code);
    if (info == nullptr) {
      if (!state.local_width) return fail(BufrError::element_not_found(code));
      const NumericTarget t = undefined_target(code, state);
      state.local_width.reset();
      TARVANE_TRY(auto read, self().number(code, nullptr, t));
      (void)read;
      state.descriptor_history.push_back(nullptr);
      return {};
    }
    TARVANE_TRY(const std::optional<double> read,
                coded_element(*info, info->def->width, element_reference(*info->def, state)));
    note_element(code, info->def, self().bitmap_value(read), state);
    return {};
  }

  // The element of info as read_element_as reads it.
  Result<std::optional<double>> coded_element(const ElementInfo& info, uint32_t table_width, int64_t reference) {
    if (info.is_text) {
      TARVANE_CHECK(self().text(info.def->code, &info, info.def->name, character_width(table_width, state)));
      return std::optional<double>();
    }
    return self().number(info.def->code, &info, element_target(info, table_width, reference, state));
  }

  Status operation(uint32_t code) {
    const uint32_t x = (code % 100000) / 1000;
    const uint32_t y = code % 1000;
    if (is_bitmap_marker(x, y)) {
      TARVANE_TRY(const std::optional<MarkedElement> e, next_marked_element(x, ctx.cache, state));
      if (!e) return {};
      TARVANE_TRY(auto read, coded_element(e->info, e->coding.table_width, e->coding.reference));
      (void)read;
      return {};
    }
    if (x == 5) return self().text(code, nullptr, kCharactersName, 8 * y);
    if (is_recorded_operator(x, y)) {
      TARVANE_CHECK(self().skip_operator(code));
      apply_bitmap_operator(x, y, state);
    }
    apply_operator(code, state);
    return {};
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
