#include "program.hpp"

namespace tarvane {

namespace {

struct Compiler {
  const TableSet& tables;
  const ElementIndex& index;
  size_t max_instructions;
  std::vector<Instruction> out;
  uint32_t pending = 0;  // visits not yet given to an instruction

  bool emit(Instruction ins) {
    if (out.size() >= max_instructions) return false;
    ins.steps = pending + 1;
    pending = 0;
    out.push_back(ins);
    return true;
  }

  // A body ends with its own visits accounted for.
  bool flush() {
    if (pending == 0) return true;
    --pending;
    return emit({OpKind::Visit});
  }

  bool compile(std::span<const uint32_t> descriptors, uint32_t depth) {
    if (depth > kMaxDecodeDepth) return false;
    const size_t n = descriptors.size();
    size_t i = 0;
    while (i < n) {
      const uint32_t code = descriptors[i];
      switch (code / 100000) {
        case 0: {
          const ElementInfo* info = index.find(code);
          if (info == nullptr) return false;
          const ElementDefinition& d = *info->def;
          Instruction ins{OpKind::Element, 0, code, 0, 0, info};
          ins.direct = !info->is_text && code != 31031;
          ins.missing_allowed = d.width <= 63 && !info->class31;
          ins.width = d.width;
          ins.scale = d.scale;
          ins.reference = d.reference;
          if (!emit(ins)) return false;
          i += 1;
          break;
        }
        case 1: {
          const uint32_t x = (code % 100000) / 1000;
          const uint32_t y = code % 1000;
          if (x == 0 || i + x >= n) return false;
          size_t at;
          if (y != 0) {
            at = out.size();
            if (!emit({OpKind::Repeat, 0, code, 0, y, nullptr})) return false;
            if (!compile(descriptors.subspan(i + 1, x), depth + 1) || !flush()) return false;
            i += x + 1;
          } else {
            if (i + x + 1 >= n) return false;
            const ElementInfo* factor = index.find(descriptors[i + 1]);
            at = out.size();
            if (factor == nullptr || !emit({OpKind::Delayed, 0, code, 0, 0, factor})) return false;
            if (!compile(descriptors.subspan(i + 2, x), depth + 1) || !flush()) return false;
            i += x + 2;
          }
          out[at].body = static_cast<uint32_t>(out.size() - at - 1);
          break;
        }
        case 2:
          if (!emit({OpKind::Operator, 0, code, 0, 0, nullptr})) return false;
          i += 1;
          break;
        case 3: {
          const SequenceDefinition* seq = tables.find_sequence(code);
          if (seq == nullptr) return false;
          ++pending;  // its visit goes with the first instruction of its members
          if (!compile(seq->members, depth + 1)) return false;
          i += 1;
          break;
        }
        default:
          return false;
      }
    }
    return true;
  }
};

// The error of the first of steps visits, made with `before` visits done so
// far and out records, that breaks a limit; the walk checks the steps, then
// the output, at every visit.
BufrError limit_error(uint64_t before, size_t out, const DecodeLimits& limits) {
  if (before + 1 <= limits.max_items && out > limits.max_items) return output_limit_error(limits);
  return walk_limit_error(limits);
}

// The operator state under which an element reads as its Table B entry says.
bool plain_state(const ValueCodingState& s) {
  return s.reference_definition_width == 0 && s.associated_field_width == 0 && !s.local_width &&
         s.width_change == 0 && s.scale_change == 0 && s.reference_multiplier == 1 && s.new_references.empty();
}

// As decode_element in the recursive walk, with the element already found.
Status element(const Instruction& ins, DecodeContext& ctx, ValueCodingState& state) {
  const ElementInfo& info = *ins.info;
  if (state.reference_definition_width != 0) [[unlikely]] return read_new_reference(ins.code, ctx.reader, state);
  uint32_t x = (ins.code % 100000) / 1000;
  if (state.associated_field_width != 0 && x != 31) {
    TARVANE_CHECK(read_associated_field(ctx.reader, state.associated_field_width, ctx.out));
  }
  TARVANE_CHECK(read_element_as(info, info.def->width, element_reference(*info.def, state), ctx.reader, state,
                                ctx.out));
  state.local_width.reset();
  if (is_bitmap_entry(ins.code, state)) {
    const DecodedValue& last = ctx.out.values.back();
    if (last.has_value) state.bitmap.push_back(bitmap_entry(last.value));
  } else {
    state.descriptor_history.push_back(info.def);
  }
  return {};
}

struct Runner {
  DecodeContext& ctx;
  ValueCodingState& state;
  bool plain;

  // What read_element_as does for a numeric element under no operator, from
  // the coding compiled into the instruction.
  [[gnu::always_inline]] Status direct_element(const Instruction& ins) {
    uint64_t raw;
    if (!ctx.reader.try_read(ins.width, raw)) [[unlikely]] return fail(ctx.reader.read_error(ins.width));
    const bool missing = ins.missing_allowed && raw == (uint64_t{1} << ins.width) - 1;
    const ElementInfo& info = *ins.info;
    const std::string* meaning = nullptr;
    if (info.codes != nullptr) {
      auto m = info.codes->find(raw);
      if (m != info.codes->end()) meaning = &m->second;
    }
    DecodedValue& v = ctx.out.values.append_for_overwrite();
    v.descriptor = ins.code;
    v.text = DecodedValue::kNoText;
    v.value = missing ? 0.0 : scaled_value(raw, ins.reference, ins.scale);
    v.raw = raw;
    v.name = info.def->name;
    v.meaning = meaning;
    v.has_value = !missing;
    v.has_raw = true;
    state.descriptor_history.push_back(info.def);
    return {};
  }

  Status run(const Instruction* at, const Instruction* end) {
    const uint64_t max = ctx.limits.max_items;
    while (at != end) {
      const Instruction& ins = *at;
      const uint64_t before = ctx.steps;
      ctx.steps += ins.steps;
      if (ctx.steps > max || ctx.out.values.size() > max) [[unlikely]]
        return fail(limit_error(before, ctx.out.values.size(), ctx.limits));
      switch (ins.kind) {
        case OpKind::Element:
          if (plain && ins.direct) {
            TARVANE_CHECK(direct_element(ins));
          } else {
            TARVANE_CHECK(element(ins, ctx, state));
          }
          ++at;
          break;
        case OpKind::Operator:
          TARVANE_CHECK(decode_operator_step(ins.code, ctx, state));
          plain = plain_state(state);
          ++at;
          break;
        case OpKind::Repeat:
          for (uint32_t r = 0; r < ins.count; ++r) TARVANE_CHECK(run(at + 1, at + 1 + ins.body));
          at += 1 + ins.body;
          break;
        case OpKind::Delayed: {
          const ElementInfo& info = *ins.info;
          TARVANE_CHECK(read_element_as(info, info.def->width, element_reference(*info.def, state), ctx.reader,
                                        state, ctx.out));
          const std::optional<double> factor = numeric_value(ctx.out.values.back());
          state.descriptor_history.push_back(info.def);
          for (uint64_t r = repetition_count(factor); r != 0; --r) TARVANE_CHECK(run(at + 1, at + 1 + ins.body));
          at += 1 + ins.body;
          break;
        }
        case OpKind::Visit:
          ++at;
          break;
      }
    }
    return {};
  }
};

}  // namespace

std::optional<std::vector<Instruction>> compile_program(std::span<const uint32_t> descriptors, const TableSet& tables,
                                                        size_t max_instructions) {
  Compiler c{tables, tables.element_index(), max_instructions, {}, 0};
  if (!c.compile(descriptors, 0) || !c.flush()) return std::nullopt;
  return std::move(c.out);
}

Status run_program(std::span<const Instruction> program, DecodeContext& ctx, ValueCodingState& state) {
  Runner runner{ctx, state, plain_state(state)};
  return runner.run(program.data(), program.data() + program.size());
}

}  // namespace tarvane
