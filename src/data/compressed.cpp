#include "compressed.hpp"

#include <cmath>
#include <string>

namespace tarvane {

namespace {

BufrError column_count_error() {
  return BufrError::parse("compressed data walked twice gave different column counts");
}

// The next column of the pass: in the sizing pass, scratch storage when the
// walk needs the column's values and none otherwise; in the filling pass,
// the column's places in the output.
Result<ColumnView> begin_column(DecodeContext& ctx, bool needed) {
  CompressedPass& pass = ctx.pass;
  const size_t n = ctx.subsets;
  if (pass.sizing) {
    // Checked before anything is allocated for the records.
    uint64_t records = (uint64_t{pass.next} + 1) * n;
    if (records > ctx.limits.max_items) return fail(output_limit_error(ctx.limits));
    pass.next += 1;
    if (!needed) return ColumnView{nullptr, 1, n};
    pass.scratch.resize(n);
    return ColumnView{pass.scratch.data(), 1, n};
  }
  // The filling pass meets the columns the sizing pass counted; one more
  // would write past the output.
  if (pass.next >= pass.total) return fail(column_count_error());
  size_t c = pass.next++;
  return ColumnView{n == 0 ? nullptr : ctx.out.values.data() + c, pass.total, n};
}

Status decode_compressed_element(uint32_t code, DecodeContext& ctx, ValueCodingState& state) {
  if (state.reference_definition_width != 0) [[unlikely]] {
    return read_compressed_new_reference(code, ctx.subsets, ctx.reader, state);
  }
  uint32_t x = (code % 100000) / 1000;
  if (state.associated_field_width != 0 && x != 31) {
    TARVANE_TRY(auto field, begin_column(ctx, false));
    TARVANE_CHECK(read_compressed_numeric_column(kAssociatedFieldCode, kAssociatedFieldName,
                                                 state.associated_field_width, 0, 0, false, ctx.reader, field));
  }
  ElementInfo info;
  if (!ctx.cache.find(code, info)) return fail(BufrError::element_not_found(code));
  const bool bitmap_entry_read = code == 31031 && state.collecting_bitmap;
  TARVANE_TRY(auto column, begin_column(ctx, bitmap_entry_read));
  TARVANE_CHECK(read_compressed_element_column(info, info.def->width, element_reference(*info.def, state), state,
                                               ctx.reader, ctx.out, column));
  if (bitmap_entry_read) {
    uint8_t entry = 0;
    if (!column.empty() && column[0].has_value) entry = bitmap_entry(column[0].value);
    state.bitmap.push_back(entry);
  } else {
    state.descriptor_history.push_back(info.def);
  }
  state.local_width.reset();
  return {};
}

Status decode_compressed_delayed(std::span<const uint32_t> group, uint32_t factor_code, DecodeContext& ctx,
                                 ValueCodingState& state, uint32_t depth) {
  ElementInfo info;
  if (!ctx.cache.find(factor_code, info)) return fail(BufrError::element_not_found(factor_code));
  TARVANE_TRY(auto column, begin_column(ctx, true));
  TARVANE_CHECK(read_compressed_element_column(info, info.def->width, element_reference(*info.def, state), state,
                                               ctx.reader, ctx.out, column));
  uint64_t count = 0;
  if (!column.empty() && column[0].has_value) {
    const double first = column[0].value;
    for (size_t j = 0; j < column.size(); ++j) {
      const DecodedValue& v = column[j];
      if (!v.has_value || !(std::fabs(v.value - first) <= 0x1p-52)) {
        return fail(BufrError::parse("compressed delayed replication with varying factors is not implemented"));
      }
    }
    count = repetition_count(first);
  }
  state.descriptor_history.push_back(info.def);
  for (; count != 0; --count) TARVANE_CHECK(decode_compressed_descriptors_inner(group, ctx, state, depth + 1));
  return {};
}

Status decode_compressed_operator(uint32_t code, DecodeContext& ctx, ValueCodingState& state) {
  uint32_t x = (code % 100000) / 1000;
  uint32_t y = code % 1000;
  if (is_bitmap_marker(x, y)) {
    TARVANE_TRY(const ElementDefinition* d, next_bitmap_element(state));
    if (d == nullptr) return {};
    ElementInfo info;
    if (!ctx.cache.find(d->code, info)) info = element_info(*d, ctx.cache.tables());
    uint32_t width = d->width;
    int64_t reference = element_reference(*d, state);
    if (x == 25) {
      difference_statistics(width, reference);
      reference = effective_reference(reference, state);
    }
    TARVANE_TRY(auto column, begin_column(ctx, false));
    return read_compressed_element_column(info, width, reference, state, ctx.reader, ctx.out, column);
  }
  if (x == 5) {
    // 2 05 YYY: a text column of YYY characters.
    TARVANE_TRY(auto column, begin_column(ctx, false));
    DecodedValue base;
    base.descriptor = code;
    base.name = kCharactersName;
    return read_text_column(base, 8 * y, 0, ctx.reader, ctx.out, column);
  }
  if (is_recorded_operator(x, y)) {
    TARVANE_TRY(auto column, begin_column(ctx, false));
    if (!column.skipped()) fill_column(column, operator_record(code));
    apply_bitmap_operator(x, y, state);
  }
  apply_operator(code, state);
  return {};
}

}  // namespace

Status decode_compressed_descriptors_inner(std::span<const uint32_t> descriptors, DecodeContext& ctx,
                                           ValueCodingState& state, uint32_t depth) {
  if (depth > kMaxDecodeDepth) return fail(BufrError::parse("compressed descriptor decode exceeded recursion depth"));
  const size_t n = descriptors.size();
  size_t i = 0;
  while (i < n) {
    if (++ctx.steps > ctx.limits.max_items) return fail(walk_limit_error(ctx.limits));
    const uint32_t code = descriptors[i];
    switch (code / 100000) {
      case 0:
        TARVANE_CHECK(decode_compressed_element(code, ctx, state));
        i += 1;
        break;
      case 1: {
        uint32_t x = (code % 100000) / 1000;
        uint32_t y = code % 1000;
        if (x == 0 || i + x >= n) return fail(BufrError::unsupported_replication(code));
        if (y != 0) {
          auto group = descriptors.subspan(i + 1, x);
          for (uint32_t r = 0; r < y; ++r) {
            TARVANE_CHECK(decode_compressed_descriptors_inner(group, ctx, state, depth + 1));
          }
          i += x + 1;
        } else {
          if (i + x + 1 >= n) return fail(BufrError::incomplete_delayed_replication(code));
          TARVANE_CHECK(decode_compressed_delayed(descriptors.subspan(i + 2, x), descriptors[i + 1], ctx, state, depth));
          i += x + 2;
        }
        break;
      }
      case 2:
        TARVANE_CHECK(decode_compressed_operator(code, ctx, state));
        i += 1;
        break;
      case 3: {
        const SequenceDefinition* seq = ctx.cache.tables().find_sequence(code);
        if (seq == nullptr) return fail(BufrError::sequence_not_found(code));
        TARVANE_CHECK(decode_compressed_descriptors_inner(seq->members, ctx, state, depth + 1));
        i += 1;
        break;
      }
      default:
        return fail(BufrError::parse("invalid descriptor " + code_text(code)));
    }
  }
  return {};
}

Status decode_compressed_values(std::span<const uint32_t> descriptors, DecodeContext& ctx) {
  // Sizing: every failure shows here, since both passes read the same bits
  // the same way; texts read for a needed column are dropped.
  ValueCodingState state;
  TARVANE_CHECK(decode_compressed_descriptors_inner(descriptors, ctx, state, 0));
  const size_t columns = ctx.pass.next;
  ctx.out.texts.clear();
  // Every place is written by the filling pass, which meets the same
  // columns: the output is not initialised before.
  ctx.out.values.resize_for_overwrite(columns * ctx.subsets);
  ctx.pass = CompressedPass{false, 0, columns, {}};
  ctx.reader = BitReader(ctx.payload);
  ctx.steps = 0;
  ValueCodingState fresh;
  TARVANE_CHECK(decode_compressed_descriptors_inner(descriptors, ctx, fresh, 0));
  if (ctx.pass.next != columns) return fail(column_count_error());
  return {};
}

}  // namespace tarvane
