#include "compressed.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

namespace tarvane {

namespace {

bool is_bitmap_marker(uint32_t x, uint32_t y) { return y == 255 && (x == 23 || x == 24 || x == 25 || x == 32); }

// Checked before a column is allocated: the records of all columns so far
// plus this one must stay within the bound.
Status begin_column(DecodeContext& ctx) {
  uint64_t records = (uint64_t{ctx.columns} + 1) * ctx.subsets;
  if (records > ctx.limits.max_items) return fail(output_limit_error(ctx.limits));
  ctx.columns += 1;
  return {};
}

Status read_bits(BitReader& reader, uint32_t width, uint64_t& out) {
  if (!reader.try_read(width, out)) return fail(reader.read_error(width));
  return {};
}

Status read_character_column(const ElementInfo& info, uint32_t width, ValueCodingState& state, uint16_t n,
                             BitReader& reader, DecodeResult& texts_out, std::vector<DecodedValue>& column) {
  std::vector<uint8_t> r0((width + 7) / 8);
  TARVANE_CHECK(reader.read_bytes_into(width, r0.data()));
  uint64_t nbinc;
  TARVANE_CHECK(read_bits(reader, 6, nbinc));
  const uint64_t k = state.text_column_counter++;
  DecodedValue v;
  v.descriptor = info.def->code;
  v.name = info.def->name;
  v.has_value = true;
  uint32_t shared = DecodedValue::kNoText;
  if (nbinc == 0) {
    if (auto text = decode_ia5_text(r0)) {
      shared = static_cast<uint32_t>(texts_out.texts.size());
      texts_out.texts.push_back(std::move(*text));
    }
  }
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
    v.value = static_cast<double>((uint64_t{n} * k + j) * 1000 + width / 8);
    column.push_back(v);
  }
  return {};
}

}  // namespace

Status read_compressed_numeric_column(uint32_t code, std::string_view name, uint32_t width, int64_t reference,
                                      int32_t scale, bool missing_allowed, uint16_t n, BitReader& reader,
                                      std::vector<DecodedValue>& column) {
  uint64_t r0;
  TARVANE_CHECK(read_bits(reader, width, r0));
  uint64_t nbinc;
  TARVANE_CHECK(read_bits(reader, 6, nbinc));
  const bool reference_missing = missing_allowed && is_missing_raw(r0, width, false);
  const uint64_t all_ones = (uint64_t{1} << nbinc) - 1;
  const double pow10 = pow10_for_scale(scale);
  DecodedValue v;
  v.descriptor = code;
  v.name = name;
  v.has_raw = true;
  if (nbinc == 0) {
    // Every subset holds R0 itself.
    v.raw = r0;
    if (!reference_missing) {
      v.value = scaled_value(r0, reference, 0) / pow10;
      v.has_value = true;
    }
    column.insert(column.end(), n, v);
    return {};
  }
  for (uint32_t j = 0; j < n; ++j) {
    uint64_t inc;
    if (!reader.try_read(static_cast<uint32_t>(nbinc), inc)) return fail(reader.read_error(static_cast<uint32_t>(nbinc)));
    // An all-ones increment, or a missing R0, leaves the value absent and
    // keeps R0 as the raw bits.
    if ((missing_allowed && inc == all_ones) || reference_missing) {
      v.raw = r0;
      v.has_value = false;
    } else {
      v.raw = r0 + inc;
      v.value = scaled_value(v.raw, reference, 0) / pow10;
      v.has_value = true;
    }
    column.push_back(v);
  }
  return {};
}

Status read_compressed_element_column(const ElementInfo& info, uint32_t table_width, int64_t table_reference,
                                      ValueCodingState& state, uint16_t n, BitReader& reader,
                                      DecodeResult& texts_out, std::vector<DecodedValue>& column) {
  if (info.is_text) {
    return read_character_column(info, character_width(table_width, state), state, n, reader, texts_out, column);
  }
  const ElementDefinition& d = *info.def;
  const size_t start = column.size();
  TARVANE_CHECK(read_compressed_numeric_column(d.code, d.name, numeric_width(table_width, state),
                                               effective_reference(table_reference, state),
                                               effective_scale(d.scale, state), !info.class31, n, reader, column));
  if (info.codes != nullptr) {
    for (size_t j = start; j < column.size(); ++j) {
      auto m = info.codes->find(column[j].raw);
      if (m != info.codes->end()) column[j].meaning = &m->second;
    }
  }
  return {};
}

namespace {

Status decode_compressed_element(uint32_t code, DecodeContext& ctx, ValueCodingState& state) {
  uint32_t x = (code % 100000) / 1000;
  if (state.associated_field_width != 0 && x != 31) {
    TARVANE_CHECK(begin_column(ctx));
    TARVANE_CHECK(read_compressed_numeric_column(kAssociatedFieldCode, kAssociatedFieldName,
                                                 state.associated_field_width, 0, 0, false, ctx.subsets, ctx.reader,
                                                 ctx.cells));
  }
  ElementInfo info;
  if (!ctx.cache.find(code, info)) return fail(BufrError::element_not_found(code));
  TARVANE_CHECK(begin_column(ctx));
  const size_t start = ctx.cells.size();
  TARVANE_CHECK(read_compressed_element_column(info, info.def->width, info.def->reference, state, ctx.subsets,
                                               ctx.reader, ctx.out, ctx.cells));
  if (code == 31031 && state.collecting_bitmap) {
    uint8_t entry = 0;
    if (ctx.subsets != 0 && ctx.cells[start].has_value) entry = bitmap_entry(ctx.cells[start].value);
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
  TARVANE_CHECK(begin_column(ctx));
  const size_t start = ctx.cells.size();
  TARVANE_CHECK(read_compressed_element_column(info, info.def->width, info.def->reference, state, ctx.subsets,
                                               ctx.reader, ctx.out, ctx.cells));
  uint64_t count = 0;
  if (ctx.subsets != 0 && ctx.cells[start].has_value) {
    const double first = ctx.cells[start].value;
    for (size_t j = start; j < ctx.cells.size(); ++j) {
      const DecodedValue& v = ctx.cells[j];
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
    int64_t reference = d->reference;
    if (x == 25) {
      reference = width >= 63 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << width);
      width = std::min<uint32_t>(width + 1, 65535);
    }
    TARVANE_CHECK(begin_column(ctx));
    return read_compressed_element_column(info, width, reference, state, ctx.subsets, ctx.reader, ctx.out,
                                          ctx.cells);
  }
  if (is_recorded_operator(x, y)) {
    TARVANE_CHECK(begin_column(ctx));
    ctx.cells.insert(ctx.cells.end(), ctx.subsets, operator_record(code));
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
  ValueCodingState state;
  TARVANE_CHECK(decode_compressed_descriptors_inner(descriptors, ctx, state, 0));
  // Regroup: subset by subset, each subset taking its record of every column.
  const size_t n = ctx.subsets;
  const size_t columns = ctx.columns;
  std::vector<DecodedValue>& out = ctx.out.values;
  out.resize(n * columns);
  for (size_t c = 0; c < columns; ++c) {
    const DecodedValue* column = ctx.cells.data() + c * n;
    for (size_t j = 0; j < n; ++j) out[j * columns + c] = column[j];
  }
  ctx.cells = {};
  return {};
}

}  // namespace tarvane
