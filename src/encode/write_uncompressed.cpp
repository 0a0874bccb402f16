// Uncompressed data: the descriptor walk once per subset, each element's
// value pulled from that subset's source and written as it is met.
#include <string>

#include "value_coding.hpp"
#include "writer.hpp"

namespace tarvane {

namespace {

struct SubsetWriter : DataWriter<SubsetWriter> {
  ValueSource& source;
  size_t subset;  // from 1

  Result<std::optional<double>> write_number(const EncodeValue& v, const NumericTarget& t) {
    TARVANE_TRY(const CodedNumber c, code_number(v, t, subset, false));
    ctx.out.put(c.raw, t.width);
    return entry_read_back(c, t);
  }

  Status write_text(const EncodeValue& v, uint32_t code, std::string_view name, uint32_t width) {
    TARVANE_TRY(const std::optional<std::string_view> text, code_text_value(v, code, name, width, subset));
    put_text(ctx.out, text, width);
    return {};
  }

  // The element of info as read_element_as reads it; the value read back.
  Result<std::optional<double>> write_element(const ElementInfo& info, uint32_t table_width, int64_t reference) {
    TARVANE_TRY(const EncodeValue v, source.next(info.def->code, &info));
    if (info.is_text) {
      TARVANE_CHECK(write_text(v, info.def->code, info.def->name, character_width(table_width, state)));
      return std::optional<double>();
    }
    return write_number(v, element_target(info, table_width, reference, state));
  }

  Status element(uint32_t code) {
    if (state.reference_definition_width != 0) [[unlikely]] {
      TARVANE_TRY(const int64_t r, source.new_reference(code, reference_scale(code)));
      return write_new_reference(code, r);
    }
    if (state.associated_field_width != 0 && (code % 100000) / 1000 != 31) {
      TARVANE_TRY(const EncodeValue v, source.next(kAssociatedFieldCode, nullptr));
      TARVANE_TRY(auto read, write_number(v, associated_target(state.associated_field_width)));
      (void)read;
    }
    const ElementInfo* info = ctx.cache.find(code);
    if (info == nullptr) {
      if (!state.local_width) return fail(BufrError::element_not_found(code));
      const NumericTarget t = undefined_target(code, state);
      state.local_width.reset();
      TARVANE_TRY(const EncodeValue v, source.next(code, nullptr));
      TARVANE_TRY(auto read, write_number(v, t));
      (void)read;
      state.descriptor_history.push_back(nullptr);
      return {};
    }
    TARVANE_TRY(const std::optional<double> read,
                write_element(*info, info->def->width, element_reference(*info->def, state)));
    note_element(code, info->def, read, state);
    return {};
  }

  Status write_new_reference(uint32_t code, int64_t r) {
    TARVANE_TRY(const uint64_t bits, new_reference_bits(code, r, state.reference_definition_width));
    ctx.out.put(bits, state.reference_definition_width);
    set_new_reference(state, code, r);
    return {};
  }

  Status operation(uint32_t code) {
    const uint32_t x = (code % 100000) / 1000;
    const uint32_t y = code % 1000;
    if (is_bitmap_marker(x, y)) {
      TARVANE_TRY(const ElementDefinition* d, next_bitmap_element(state));
      if (d == nullptr) return {};
      ElementInfo info;
      if (!ctx.cache.find(d->code, info)) info = element_info(*d, ctx.cache.tables());
      const MarkerCoding c = marker_coding(x, *d, state);
      TARVANE_TRY(auto read, write_element(info, c.table_width, c.reference));
      (void)read;
      return {};
    }
    if (x == 5) {
      TARVANE_TRY(const EncodeValue v, source.next(code, nullptr));
      return write_text(v, code, kCharactersName, 8 * y);
    }
    if (is_recorded_operator(x, y)) {
      TARVANE_CHECK(source.skip_operator(code));
      apply_bitmap_operator(x, y, state);
    }
    apply_operator(code, state);
    return {};
  }

  Status delayed(uint32_t code, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    const uint32_t factor_code = factor_and_group[0];
    TARVANE_TRY(const ElementInfo* info, factor_info(factor_code));
    TARVANE_TRY(const uint64_t count, source.factor(code, factor_code));
    TARVANE_TRY(const EncodeValue v, source.next(factor_code, info));
    const NumericTarget t = element_target(*info, info->def->width, element_reference(*info->def, state), state);
    auto coded = code_number(v, t, subset, false);
    if (!coded) {
      return fail(BufrError::encode("replication factor " + std::to_string(count) + " of " + code_text(code) +
                                    " in subset " + std::to_string(subset) + ": " + coded.error().message));
    }
    ctx.out.put(coded->raw, t.width);
    const uint64_t written = repetition_count(read_back(*coded, t));
    if (written != count) return fail(factor_mismatch_error(code, count, written, subset));
    state.descriptor_history.push_back(info->def);
    for (uint64_t k = 0; k < count; ++k) {
      source.begin_repetition(k);
      TARVANE_CHECK(walk_descriptors(factor_and_group.subspan(1), *this, depth + 1));
    }
    source.end_replication();
    return {};
  }
};

}  // namespace

BufrError write_limit_error() {
  return BufrError::encode("descriptor walk exceeds " + std::to_string(kMaxWriteSteps) + " steps");
}

Result<uint64_t> new_reference_bits(uint32_t code, int64_t reference, uint32_t width) {
  const uint64_t magnitude = reference < 0 ? 0 - static_cast<uint64_t>(reference) : static_cast<uint64_t>(reference);
  if (width > 64 || magnitude > all_ones(width - 1)) {
    return fail(BufrError::encode("new reference value " + std::to_string(reference) + " of " + code_text(code) +
                                  " does not fit " + std::to_string(width) + " bits"));
  }
  return reference < 0 ? magnitude | (uint64_t{1} << (width - 1)) : magnitude;
}

Status write_uncompressed(std::span<const uint32_t> descriptors, WriteContext& ctx,
                          std::span<ValueSource* const> subsets) {
  ValueCodingState state;
  for (size_t s = 0; s < subsets.size(); ++s) {
    reset_coding_state(state, 0);
    SubsetWriter writer{{ctx, state}, *subsets[s], s + 1};
    TARVANE_CHECK(walk_descriptors(descriptors, writer, 0));
  }
  return {};
}

Result<std::vector<uint8_t>> encode_data(std::span<const uint32_t> descriptors, const TableSet& tables,
                                         std::span<ValueSource* const> subsets, bool compressed) {
  WriteContext ctx(tables);
  if (compressed) {
    if (subsets.empty()) return fail(BufrError::encode("compressed data need at least one subset"));
    TARVANE_CHECK(write_compressed(descriptors, ctx, subsets));
  } else {
    TARVANE_CHECK(write_uncompressed(descriptors, ctx, subsets));
  }
  return ctx.out.finish();
}

}  // namespace tarvane
