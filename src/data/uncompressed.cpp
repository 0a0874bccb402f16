// Uncompressed data: the descriptor walk over the section 3 descriptors once
// per subset, reading each element as it is met, or the template's compiled
// program where it has one.
#include <algorithm>
#include <memory>
#include <string>

#include "decode.hpp"
#include "program.hpp"
#include "walk.hpp"

namespace tarvane {

BufrError output_limit_error(const DecodeLimits& limits) {
  return BufrError::parse("decoded output exceeds the limit of " + std::to_string(limits.max_items) +
                          " values for a section 4 of " + std::to_string(limits.payload_bytes) + " bytes");
}

BufrError walk_limit_error(const DecodeLimits& limits) {
  return BufrError::parse("descriptor walk exceeds the limit of " + std::to_string(limits.max_items) +
                          " steps for a section 4 of " + std::to_string(limits.payload_bytes) + " bytes");
}

namespace {

// The subset reader: one record per element, replications repeated as the
// data say.
struct SubsetReader : DataReader<SubsetReader> {
  BufrError depth_error() const { return BufrError::parse("descriptor decode exceeded recursion depth"); }

  Status visit() {
    // One visit appends at most two records, so checking here bounds both.
    if (++ctx.steps > ctx.limits.max_items) [[unlikely]] return fail(walk_limit_error(ctx.limits));
    if (ctx.out.values.size() > ctx.limits.max_items) [[unlikely]] return fail(output_limit_error(ctx.limits));
    return {};
  }
  Status element(uint32_t code) { return decode_element_step(code, ctx.cache.find(code), ctx, state); }
  Status operation(uint32_t code) { return decode_operator_step(code, ctx, state); }

  Status delayed(uint32_t, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    ElementInfo info;
    const uint32_t factor_code = factor_and_group[0];
    if (!ctx.cache.find(factor_code, info)) return fail(BufrError::element_not_found(factor_code));
    TARVANE_CHECK(read_element_as(info, info.def->width, element_reference(*info.def, state), ctx.reader, state,
                                  ctx.out));
    const std::optional<double> factor = numeric_value(ctx.out.values.back());
    state.descriptor_history.push_back(info.def);
    return repeat(repetition_count(factor), factor_and_group.subspan(1), depth);
  }
};

}  // namespace

Status decode_element_step(uint32_t code, const ElementInfo* info, DecodeContext& ctx, ValueCodingState& state) {
  // Between 2 03 YYY and 2 03 255 an element carries its new reference, no data.
  if (state.reference_definition_width != 0) [[unlikely]] return read_new_reference(code, ctx.reader, state);
  uint32_t x = (code % 100000) / 1000;
  if (state.associated_field_width != 0 && x != 31) {
    TARVANE_CHECK(read_associated_field(ctx.reader, state.associated_field_width, ctx.out));
  }
  if (info == nullptr) return read_undefined_element(code, ctx.reader, state, ctx.out);
  TARVANE_CHECK(read_element_as(*info, info->def->width, element_reference(*info->def, state), ctx.reader, state,
                                ctx.out));
  const DecodedValue& last = ctx.out.values.back();
  note_element(code, info->def, last.has_value ? std::optional<double>(last.value) : std::nullopt, state);
  return {};
}

Status decode_operator_step(uint32_t code, DecodeContext& ctx, ValueCodingState& state) {
  uint32_t x = (code % 100000) / 1000;
  uint32_t y = code % 1000;
  if (is_bitmap_marker(x, y)) {
    TARVANE_TRY(const std::optional<MarkedElement> e, next_marked_element(x, ctx.cache, state));
    if (!e) return {};
    return read_element_as(e->info, e->coding.table_width, e->coding.reference, ctx.reader, state, ctx.out);
  }
  if (x == 5) return read_signified_characters(code, y, ctx.reader, ctx.out);
  if (is_recorded_operator(x, y)) {
    ctx.out.values.push_back(operator_record(code));
    apply_bitmap_operator(x, y, state);
  }
  apply_operator(code, state);
  return {};
}

Status decode_descriptor_values_inner(std::span<const uint32_t> descriptors, DecodeContext& ctx,
                                      ValueCodingState& state, uint32_t depth) {
  SubsetReader reader{{ctx, state}};
  return walk_descriptors(descriptors, reader, depth);
}

namespace {

// program: the compiled descriptors, or nullptr for the recursive walk.
// result is emptied first; its storage is reused.
Status decode_subsets_into(const BufrMessage& message, const TableSet& tables, std::span<const uint8_t> payload,
                           const std::vector<Instruction>* program, DecodeResult& result) {
  result.values.clear();
  result.texts.clear();
  result.subset_starts.clear();
  DecodeContext ctx(tables, payload, result);
  const std::span<const uint32_t> descriptors(message.unexpanded_descriptors);
  ValueCodingState state;
  // Room for a typical subset's history at once, not grown from nothing
  // in every message.
  state.descriptor_history.reserve(kHistoryGuess);
  uint64_t text_count = 0;
  // Records rarely outnumber payload bytes. Storage that is never written
  // costs next to nothing, copying on growth does; up to a million places.
  if (message.number_of_subsets != 0) result.values.reserve(std::min<size_t>(payload.size() + 16, size_t{1} << 20));
  result.subset_starts.reserve(message.number_of_subsets);
  for (uint32_t s = 0; s < message.number_of_subsets; ++s) {
    result.subset_starts.push_back(result.values.size());
    reset_coding_state(state, text_count);
    if (program) {
      TARVANE_CHECK(run_program(*program, ctx, state));
    } else {
      TARVANE_CHECK(decode_descriptor_values_inner(descriptors, ctx, state, 0));
    }
    text_count = state.text_counter;
    if (s == 0 && message.number_of_subsets > 1) {
      // Subsets of one message are usually alike in size; a guess beyond
      // one record per payload bit is not trusted before it is earned.
      uint64_t guess = uint64_t{result.values.size()} * message.number_of_subsets;
      result.values.reserve(std::min<uint64_t>(guess, uint64_t{8} * payload.size() + 4096));
    }
  }
  if (result.values.size() > ctx.limits.max_items) return fail(output_limit_error(ctx.limits));
  return {};
}

Result<DecodeResult> decode_uncompressed_subsets(const BufrMessage& message, const TableSet& tables,
                                                 std::span<const uint8_t> payload, const std::vector<Instruction>* program) {
  DecodeResult result;
  TARVANE_CHECK(decode_subsets_into(message, tables, payload, program, result));
  return result;
}

// Far above any real template (the largest corpus one compiles to a few
// hundred instructions), and at 48 bytes each a bound on what one template
// may hold.
constexpr size_t kMaxProgram = size_t{1} << 16;

}  // namespace

std::shared_ptr<const CachedProgram> cached_program(std::span<const uint32_t> descriptors, const TableSet& tables) {
  if (auto found = tables.templates().find(descriptors)) return std::static_pointer_cast<const CachedProgram>(found);
  auto made = std::make_shared<CachedProgram>();
  if (auto program = compile_program(descriptors, tables, kMaxProgram)) {
    made->compiled = true;
    made->instructions = std::move(*program);
  }
  tables.templates().insert(descriptors, made);
  return made;
}

Result<DecodeResult> decode_uncompressed_values_recursive(const BufrMessage& message, const TableSet& tables,
                                                          std::span<const uint8_t> payload) {
  if (message.compressed_data) return decode_uncompressed_values(message, tables, payload);
  return decode_uncompressed_subsets(message, tables, payload, nullptr);
}

Result<DecodeResult> decode_uncompressed_values_compiled(const BufrMessage& message, const TableSet& tables,
                                                         std::span<const uint8_t> payload) {
  if (message.compressed_data) return decode_uncompressed_values(message, tables, payload);
  auto program = compile_program(message.unexpanded_descriptors, tables, decode_limits(payload.size()).max_items);
  return decode_uncompressed_subsets(message, tables, payload, program ? &*program : nullptr);
}

Result<DecodeResult> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                std::span<const uint8_t> payload) {
  if (message.compressed_data) {
    DecodeResult result;
    DecodeContext ctx(tables, payload, result);
    ctx.subsets = message.number_of_subsets;
    TARVANE_CHECK(decode_compressed_values(message.unexpanded_descriptors, ctx));
    return result;
  }
  DecodeResult result;
  TARVANE_CHECK(decode_uncompressed_into(message, tables, payload, result));
  return result;
}

Status decode_uncompressed_into(const BufrMessage& message, const TableSet& tables, std::span<const uint8_t> payload,
                                DecodeResult& result) {
  auto program = cached_program(message.unexpanded_descriptors, tables);
  return decode_subsets_into(message, tables, payload, program->compiled ? &program->instructions : nullptr, result);
}

}  // namespace tarvane
