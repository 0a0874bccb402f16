#include "compressed.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

namespace tarvane {

namespace {

Status read_bits(BitReader& reader, uint32_t width, uint64_t& out) {
  if (!reader.try_read(width, out)) return fail(reader.read_error(width));
  return {};
}

// Moves past total bits that per-subset reads of unit bits would consume,
// failing where the first of those reads would fail.
Status skip_bits(BitReader& reader, uint64_t total, uint32_t unit) {
  const bool short_data = total > reader.bits_remaining();
  uint64_t ok = short_data ? reader.bits_remaining() / unit * unit : total;
  uint64_t ignored;
  for (; ok >= 64; ok -= 64) reader.try_read(64, ignored);
  reader.try_read(static_cast<uint32_t>(ok), ignored);
  if (short_data) return fail(reader.read_error(unit));
  return {};
}

// Copies from the stored first record: rebuilding the value per copy
// costs a store-forwarding stall each time.
void fill_column(ColumnView column, const DecodedValue& value) {
  if (column.empty()) return;
  column[0] = value;
  const DecodedValue* first = &column[0];
  for (size_t j = 1; j < column.size(); ++j) std::memcpy(&column[j], first, sizeof(DecodedValue));
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
  size_t c = pass.next++;
  return ColumnView{n == 0 ? nullptr : ctx.out.values.data() + c, pass.total, n};
}

// A compressed text item: R0 of width bits, NBINC, then NBINC characters
// per subset when NBINC is not 0; otherwise every subset has R0's text.
// Record j is base with its text and, when base has a value, the text
// number (first_number + j + 1) * 1000 + the width in characters.
Status read_text_column(DecodedValue base, uint32_t width, uint64_t first_number, BitReader& reader,
                        DecodeResult& texts_out, ColumnView column) {
  std::vector<uint8_t> r0((width + 7) / 8);
  TARVANE_CHECK(reader.read_bytes_into(width, r0.data()));
  uint64_t nbinc;
  TARVANE_CHECK(read_bits(reader, 6, nbinc));
  const uint64_t n = column.size();
  if (column.skipped()) return skip_bits(reader, n * nbinc * 8, 8);
  uint32_t shared = DecodedValue::kNoText;
  if (nbinc == 0) {
    if (auto text = decode_ia5_text(r0)) {
      shared = static_cast<uint32_t>(texts_out.texts.size());
      texts_out.texts.push_back(std::move(*text));
    }
  }
  DecodedValue v = base;
  std::array<uint8_t, 63> own;
  for (uint64_t j = 1; j <= n; ++j) {
    v.text = shared;
    if (nbinc != 0) {
      TARVANE_CHECK(reader.read_bytes_into(static_cast<uint32_t>(nbinc * 8), own.data()));
      if (auto text = decode_ia5_text(std::span<const uint8_t>(own.data(), nbinc))) {
        v.text = static_cast<uint32_t>(texts_out.texts.size());
        texts_out.texts.push_back(std::move(*text));
      }
    }
    if (base.has_value) v.value = static_cast<double>((first_number + j) * 1000 + width / 8);
    column[j - 1] = v;
  }
  return {};
}

Status read_character_column(const ElementInfo& info, uint32_t width, ValueCodingState& state, BitReader& reader,
                             DecodeResult& texts_out, ColumnView column) {
  const uint64_t k = state.text_column_counter++;
  DecodedValue base;
  base.descriptor = info.def->code;
  base.name = info.def->name;
  base.has_value = true;
  return read_text_column(base, width, column.size() * k, reader, texts_out, column);
}

// A new reference value of 2 03 YYY in compressed data: a numeric column of
// the definition width, without records. The changed reference serves every
// subset, so every subset must hold the same value.
Status read_compressed_new_reference(uint32_t code, size_t n, BitReader& reader, ValueCodingState& state) {
  const uint32_t width = state.reference_definition_width;
  uint64_t r0;
  TARVANE_CHECK(read_bits(reader, width, r0));
  uint64_t nbinc;
  TARVANE_CHECK(read_bits(reader, 6, nbinc));
  const uint32_t nb = static_cast<uint32_t>(nbinc);
  uint64_t raw = r0;
  for (size_t j = 0; j < n; ++j) {
    uint64_t inc = 0;
    if (!reader.try_read(nb, inc)) return fail(reader.read_error(nb));
    if (j == 0) {
      raw = r0 + inc;
    } else if (r0 + inc != raw) {
      return fail(BufrError::parse("compressed new reference value for " + code_text(code) +
                                   " differs between subsets"));
    }
  }
  set_new_reference(state, code, signed_reference(raw, width));
  return {};
}

}  // namespace

Status read_compressed_numeric_column(uint32_t code, std::string_view name, uint32_t width, int64_t reference,
                                      int32_t scale, bool missing_allowed, BitReader& reader, ColumnView column) {
  uint64_t r0;
  TARVANE_CHECK(read_bits(reader, width, r0));
  uint64_t nbinc;
  TARVANE_CHECK(read_bits(reader, 6, nbinc));
  const uint32_t nb = static_cast<uint32_t>(nbinc);
  const size_t n = column.size();
  if (column.skipped()) return skip_bits(reader, uint64_t{n} * nb, nb);
  const bool reference_missing = missing_allowed && is_missing_raw(r0, width, false);
  DecodedValue base;
  base.descriptor = code;
  base.name = name;
  base.has_raw = true;
  base.raw = r0;
  if (!reference_missing) {
    base.value = scaled_value(r0, reference, scale);
    base.has_value = true;
  }
  if (nb == 0 || reference_missing) {
    // Every subset holds R0 itself; the increments of a missing R0 are read
    // and dropped.
    TARVANE_CHECK(skip_bits(reader, uint64_t{n} * nb, nb));
    fill_column(column, base);
    return {};
  }
  const uint64_t all_ones = (uint64_t{1} << nb) - 1;
  for (size_t j = 0; j < n; ++j) {
    uint64_t inc;
    if (!reader.try_read(nb, inc)) return fail(reader.read_error(nb));
    DecodedValue& v = column[j];
    v = base;
    // An all-ones increment leaves the value absent and R0 as the raw bits.
    if (missing_allowed && inc == all_ones) {
      v.has_value = false;
    } else {
      v.raw = r0 + inc;
      v.value = scaled_value(v.raw, reference, scale);
    }
  }
  return {};
}

Status read_compressed_element_column(const ElementInfo& info, uint32_t table_width, int64_t reference,
                                      ValueCodingState& state, BitReader& reader, DecodeResult& texts_out,
                                      ColumnView column) {
  if (info.is_text) {
    return read_character_column(info, character_width(table_width, state), state, reader, texts_out, column);
  }
  const ElementDefinition& d = *info.def;
  TARVANE_CHECK(read_compressed_numeric_column(d.code, d.name, numeric_width(table_width, state),
                                               reference,
                                               effective_scale(d.scale, state), !info.class31, reader, column));
  if (info.codes != nullptr && !column.skipped()) {
    // Constant columns are common: look each run of equal raws up once.
    const std::string* meaning = nullptr;
    for (size_t j = 0; j < column.size(); ++j) {
      if (j == 0 || column[j].raw != column[j - 1].raw) {
        auto m = info.codes->find(column[j].raw);
        meaning = m == info.codes->end() ? nullptr : &m->second;
      }
      column[j].meaning = meaning;
    }
  }
  return {};
}

namespace {

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
  ctx.out.values.resize(columns * ctx.subsets);
  ctx.pass = CompressedPass{false, 0, columns, {}};
  ctx.reader = BitReader(ctx.payload);
  ctx.steps = 0;
  ValueCodingState fresh;
  return decode_compressed_descriptors_inner(descriptors, ctx, fresh, 0);
}

}  // namespace tarvane
