// Uncompressed data: the descriptor walk once per subset, each element's
// value pulled from that subset's source and written as it is met.
#include <memory>
#include <string>


#include "value_coding.hpp"
#include "writer.hpp"

namespace tarvane {

namespace {

struct SubsetWriter : DataWriter<SubsetWriter> {
  ValueSource& source;
  size_t subset;  // from 1
  RecordSource* records;  // source.records(), asked once

  Result<std::optional<double>> write_number(const EncodeValue& v, const NumericTarget& t) {
    TARVANE_TRY(const CodedNumber c, code_number(v, t, subset, false));
    ctx.out.put(c.raw, t.width);
    return entry_read_back(c, t);
  }

  Result<std::optional<double>> number(uint32_t code, const ElementInfo* info, const NumericTarget& t) {
    if (const DecodedValue* v = next_record(code, info)) {
      // What RecordSource::next gives for it, without the call.
      records->advance();
      if (!v->has_value || !v->has_raw) return write_number({0.0, std::nullopt, std::nullopt, true, {}}, t);
      return write_number({v->value, v->raw, std::nullopt, false, {}}, t);
    }
    TARVANE_TRY(const EncodeValue v, source.next(code, info));
    return write_number(v, t);
  }

  // The next decoded record where it is the numeric element code, else
  // nullptr (the general path then reports what is wrong).
  const DecodedValue* next_record(uint32_t code, const ElementInfo* info) const {
    if (records == nullptr || info == nullptr || info->is_text || records->remaining() == 0 ||
        records->packed(records->position()))
      return nullptr;
    const DecodedValue* v = records->record(records->position());
    return v->descriptor == code ? v : nullptr;
  }

  Status text(uint32_t code, const ElementInfo* info, std::string_view name, uint32_t width) {
    TARVANE_TRY(const EncodeValue v, source.next(code, info));
    TARVANE_TRY(const std::optional<std::string_view> text, code_text_value(v, code, name, width, subset));
    put_text(ctx.out, text, width);
    return {};
  }

  Status new_reference(uint32_t code) {
    TARVANE_TRY(const int64_t r, source.new_reference(code, reference_scale(code)));
    const uint32_t width = state.reference_definition_width;
    TARVANE_TRY(const uint64_t bits, new_reference_bits(code, r, width));
    ctx.out.put(bits, width);
    set_new_reference(state, code, r);
    return {};
  }

  Status skip_operator(uint32_t code) { return source.skip_operator(code); }
  static std::optional<double> bitmap_value(std::optional<double> read) { return read; }

  // A delayed replication's factor element written: its count.
  Result<uint64_t> write_factor(uint32_t code, const ElementInfo* info) {
    TARVANE_TRY(const uint64_t count, source.factor(code, info->def->code));
    TARVANE_TRY(const EncodeValue v, source.next(info->def->code, info));
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
    return count;
  }

  // An element under no operator, from a decoded record, written straight
  // from it; false where the general path is to write it (and report what
  // is wrong).
  bool direct(const Instruction& ins) {
    if (records == nullptr || ins.width > 63 || records->remaining() == 0 || records->packed(records->position()))
      return false;
    const DecodedValue& v = *records->record(records->position());
    if (v.descriptor != ins.code) return false;
    const uint64_t ones = all_ones(ins.width);
    const bool missing = !v.has_value || !v.has_raw;
    if (!missing && (v.raw > ones || (v.raw == ones && ins.missing_allowed))) return false;
    ctx.out.put(missing ? ones : v.raw, ins.width);
    records->advance();
    state.descriptor_history.push_back(ins.info->def);
    return true;
  }
  Status direct_element(const Instruction& ins) { return direct(ins) ? Status{} : element(ins.code); }
  void begin_repetition(uint64_t k) { source.begin_repetition(k); }
  void end_replication() { source.end_replication(); }

  Status delayed(uint32_t code, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    TARVANE_TRY(const ElementInfo* info, factor_info(factor_and_group[0]));
    TARVANE_TRY(const uint64_t count, write_factor(code, info));
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
  const std::shared_ptr<const CachedProgram> program = cached_program(descriptors, ctx.cache.tables());
  const std::span<const Instruction> code = program->instructions;
  for (size_t s = 0; s < subsets.size(); ++s) {
    reset_coding_state(state, 0);
    SubsetWriter writer{{ctx, state}, *subsets[s], s + 1, subsets[s]->records()};
    if (program->compiled) {
      TARVANE_CHECK(run_writer_program(code, writer));
    } else {
      TARVANE_CHECK(walk_descriptors(descriptors, writer, 0));
    }
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
