#include "compressed.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>


namespace tarvane {

namespace {

// A column being read: room for one record per subset at the end of the
// column records, of which a constant column keeps only the first.
struct Column {
  ColumnView view;
  bool constant = false;
  size_t packed_before = 0;  // where the column's packed entry would go

  // Record j, also of a constant column.
  const DecodedValue& operator[](size_t j) const { return view[constant ? 0 : j]; }
};

// begin_column, end_column and add_element_column are inlined: a small
// message's columns hold a few subsets each, and the calls (each returning
// a Result) cost more than the work in them.

// may_pack: whether the walk can do without the column's values (a
// bitmap or a replication count needs them).
[[gnu::always_inline]] inline Result<Column> begin_column(DecodeContext& ctx, bool may_pack) {
  CompressedColumns& c = ctx.columns;
  const size_t n = ctx.subsets;
  // Checked before anything is allocated for the records.
  const uint64_t records = (uint64_t{c.refs.size()} + 1) * n;
  if (records > ctx.limits.max_items) return fail(output_limit_error(ctx.limits));
  const size_t first = c.records.size();
  c.records.resize_for_overwrite(first + n);
  std::vector<PackedColumn>* packed = c.pack && may_pack ? &c.packed : nullptr;
  return Column{ColumnView{c.records.data() + first, 1, n, packed, c.pack_coded}, false, c.packed.size()};
}

[[gnu::always_inline]] inline void end_column(DecodeContext& ctx, const Column& column) {
  CompressedColumns& c = ctx.columns;
  const size_t first = static_cast<size_t>(column.view.first - c.records.data());
  if (column.constant && column.view.n > 1) c.records.resize_for_overwrite(first + 1);
  const uint32_t packed =
      c.packed.size() > column.packed_before ? static_cast<uint32_t>(column.packed_before) : ColumnRef::kNotPacked;
  c.refs.push_back({first, column.constant ? size_t{0} : size_t{1}, packed});
}

// Reads the column of the element of info and adds it.
[[gnu::always_inline]] inline Result<Column> add_element_column(const ElementInfo& info, uint32_t table_width,
                                                                int64_t reference, DecodeContext& ctx,
                                                                ValueCodingState& state, bool may_pack) {
  TARVANE_TRY(Column column, begin_column(ctx, may_pack));
  TARVANE_CHECK(read_compressed_element_column(info, table_width, reference, state, ctx.reader, ctx.out,
                                               column.view, &column.constant));
  end_column(ctx, column);
  return column;
}

// As read_undefined_element, a column of them.
Status decode_compressed_undefined(uint32_t code, DecodeContext& ctx, ValueCodingState& state) {
  if (!state.local_width) return fail(BufrError::element_not_found(code));
  const uint32_t width = *state.local_width;
  state.local_width.reset();
  const int64_t* defined = state.new_references.empty() ? nullptr : find_new_reference(state, code);
  TARVANE_TRY(Column column, begin_column(ctx, false));
  TARVANE_CHECK(read_compressed_numeric_column(code, kUndefinedName, width, defined ? *defined : 0, 0,
                                               (code % 100000) / 1000 != 31, ctx.reader, column.view));
  end_column(ctx, column);
  state.descriptor_history.push_back(nullptr);
  return {};
}

Status decode_compressed_element(uint32_t code, DecodeContext& ctx, ValueCodingState& state) {
  if (state.reference_definition_width != 0) [[unlikely]] {
    return read_compressed_new_reference(code, ctx.subsets, ctx.reader, state);
  }
  uint32_t x = (code % 100000) / 1000;
  if (state.associated_field_width != 0 && x != 31) {
    TARVANE_TRY(Column field, begin_column(ctx, true));
    TARVANE_CHECK(read_associated_field_column(state.associated_field_width, ctx.reader, field.view,
                                               &field.constant));
    end_column(ctx, field);
  }
  ElementInfo info;
  if (!ctx.cache.find(code, info)) return decode_compressed_undefined(code, ctx, state);
  TARVANE_TRY(Column column, add_element_column(info, info.def->width, element_reference(*info.def, state), ctx,
                                                state, code != 31031));
  // A missing entry counts as 0 here: every subset shares one bitmap.
  const bool kept = !column.view.empty() && column[0].has_value;
  note_element(code, info.def, kept ? column[0].value : 0.0, state);
  return {};
}

Status decode_compressed_operator(uint32_t code, DecodeContext& ctx, ValueCodingState& state) {
  uint32_t x = (code % 100000) / 1000;
  uint32_t y = code % 1000;
  if (is_bitmap_marker(x, y)) {
    TARVANE_TRY(const std::optional<MarkedElement> e, next_marked_element(x, ctx.cache, state));
    if (!e) return {};
    TARVANE_TRY(Column column, add_element_column(e->info, e->coding.table_width, e->coding.reference, ctx, state, true));
    (void)column;
    return {};
  }
  if (x == 5) {
    // 2 05 YYY: a text column of YYY characters.
    TARVANE_TRY(Column column, begin_column(ctx, false));
    DecodedValue base;
    base.descriptor = code;
    base.name = kCharactersName;
    TARVANE_CHECK(read_text_column(base, 8 * y, 0, ctx.reader, ctx.out, column.view, &column.constant));
    end_column(ctx, column);
    return {};
  }
  if (is_recorded_operator(x, y)) {
    TARVANE_TRY(Column column, begin_column(ctx, false));
    if (!column.view.empty()) column.view[0] = operator_record(code);
    column.constant = true;
    end_column(ctx, column);
    apply_bitmap_operator(x, y, state);
  }
  apply_operator(code, state);
  return {};
}

// The compressed reader: one column per element, for all subsets at once.
struct ColumnReader : DataReader<ColumnReader> {
  BufrError depth_error() const { return BufrError::parse("compressed descriptor decode exceeded recursion depth"); }

  // The output is bounded where each column begins.
  Status visit() {
    if (++ctx.steps > ctx.limits.max_items) [[unlikely]] return fail(walk_limit_error(ctx.limits));
    return {};
  }
  Status element(uint32_t code) { return decode_compressed_element(code, ctx, state); }
  Status operation(uint32_t code) { return decode_compressed_operator(code, ctx, state); }

  Status delayed(uint32_t, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    const uint32_t factor_code = factor_and_group[0];
    ElementInfo info;
    if (!ctx.cache.find(factor_code, info)) return fail(BufrError::element_not_found(factor_code));
    TARVANE_TRY(Column column, add_element_column(info, info.def->width, element_reference(*info.def, state), ctx,
                                                  state, false));
    uint64_t count = 0;
    if (!column.view.empty() && column[0].has_value) {
      const double first = column[0].value;
      for (size_t j = 0; j < column.view.size(); ++j) {
        const DecodedValue& v = column[j];
        if (!v.has_value || !(std::fabs(v.value - first) <= 0x1p-52)) {
          return fail(BufrError::parse("compressed delayed replication with varying factors is not implemented"));
        }
      }
      count = repetition_count(first);
    }
    state.descriptor_history.push_back(info.def);
    return repeat(count, factor_and_group.subspan(1), depth);
  }
};

}  // namespace

Status decode_compressed_descriptors_inner(std::span<const uint32_t> descriptors, DecodeContext& ctx,
                                           ValueCodingState& state, uint32_t depth) {
  ColumnReader reader{{ctx, state}};
  return walk_descriptors(descriptors, reader, depth);
}

Status decode_compressed_columns(std::span<const uint32_t> descriptors, DecodeContext& ctx) {
  ValueCodingState state;
  // A typical template's columns at once, not grown from nothing in every
  // message.
  state.descriptor_history.reserve(kHistoryGuess);
  ctx.columns.refs.reserve(kHistoryGuess);
  return decode_compressed_descriptors_inner(descriptors, ctx, state, 0);
}

Status decode_compressed_values(std::span<const uint32_t> descriptors, DecodeContext& ctx) {
  TARVANE_CHECK(decode_compressed_columns(descriptors, ctx));
  // Subset after subset, each column's record for it, written in order:
  // every place of the output once, in one sequential sweep.
  const CompressedColumns& c = ctx.columns;
  const size_t n = ctx.subsets;
  ctx.out.values.resize_for_overwrite(c.refs.size() * n);
  if (n == 0) return {};
  // A cursor per column, moving by its step (in bytes: no multiplication).
  struct Cursor {
    const std::byte* at;
    size_t step;
  };
  std::vector<Cursor> cursors;
  cursors.reserve(c.refs.size());
  for (const ColumnRef& ref : c.refs) {
    cursors.push_back({reinterpret_cast<const std::byte*>(c.records.data() + ref.first), ref.step * sizeof(DecodedValue)});
  }
  DecodedValue* out = ctx.out.values.data();
  for (size_t j = 0; j < n; ++j) {
    for (Cursor& cursor : cursors) {
      std::memcpy(out++, cursor.at, sizeof(DecodedValue));
      cursor.at += cursor.step;
    }
  }
  return {};
}

}  // namespace tarvane
