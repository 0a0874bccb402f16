#include "program.hpp"

#include "../tables/descriptor_walk.hpp"

namespace tarvane {

namespace {

// The compiler: every element looked up once, a replication's group
// compiled once as the body of its loop. Any failure means the recursive
// walk runs instead.
struct Compiler {
  static constexpr uint32_t kMaxDepth = kMaxDecodeDepth;
  static uint32_t replication_count(uint32_t y) { return y; }

  const TableSet& tables_;
  const ElementIndex& index;
  size_t max_instructions;
  std::vector<Instruction> out;
  uint32_t pending = 0;  // visits not yet given to an instruction

  BufrError depth_error() const { return BufrError::parse("descriptor decode exceeded recursion depth"); }
  const TableSet& tables() const { return tables_; }

  // A visit goes with the next instruction emitted (a sequence's with the
  // first of its members).
  Status visit() {
    ++pending;
    return {};
  }

  Status emit(Instruction ins) {
    if (out.size() >= max_instructions) return fail(BufrError::parse("program too long"));
    ins.steps = pending;
    pending = 0;
    out.push_back(ins);
    return {};
  }

  // A body ends with its own visits accounted for.
  Status flush() { return pending == 0 ? Status{} : emit({OpKind::Visit}); }

  Status element(uint32_t code) {
    const ElementInfo* info = index.find(code);
    if (info == nullptr) return fail(BufrError::element_not_found(code));
    const ElementDefinition& d = *info->def;
    Instruction ins{OpKind::Element, 0, code, 0, 0, info};
    ins.direct = !info->is_text && code != 31031;
    ins.missing_allowed = d.width <= 63 && !info->class31;
    ins.width = d.width;
    ins.scale = d.scale;
    ins.reference = d.reference;
    return emit(ins);
  }

  Status operation(uint32_t code) { return emit({OpKind::Operator, 0, code, 0, 0, nullptr}); }

  // The loop instruction at `at`, then its body.
  Status loop(size_t at, std::span<const uint32_t> group, uint32_t depth) {
    TARVANE_CHECK(walk_descriptors(group, *this, depth + 1));
    TARVANE_CHECK(flush());
    out[at].body = static_cast<uint32_t>(out.size() - at - 1);
    return {};
  }

  Status fixed(uint32_t code, uint32_t count, std::span<const uint32_t> group, uint32_t depth) {
    const size_t at = out.size();
    TARVANE_CHECK(emit({OpKind::Repeat, 0, code, 0, count, nullptr}));
    return loop(at, group, depth);
  }

  Status delayed(uint32_t code, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    const ElementInfo* factor = index.find(factor_and_group[0]);
    if (factor == nullptr) return fail(BufrError::element_not_found(factor_and_group[0]));
    const size_t at = out.size();
    TARVANE_CHECK(emit({OpKind::Delayed, 0, code, 0, 0, factor}));
    return loop(at, factor_and_group.subspan(1), depth);
  }
};

// The error of the first of steps visits, made with `before` visits done so
// far and out records, that breaks a limit; the walk checks the steps, then
// the output, at every visit.
BufrError limit_error(uint64_t before, size_t out, const DecodeLimits& limits) {
  if (before + 1 <= limits.max_items && out > limits.max_items) return output_limit_error(limits);
  return walk_limit_error(limits);
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
    write_numeric_record(ctx.out.values.append_for_overwrite(), ins.code, info.def->name, raw,
                         missing ? 0.0 : scaled_value(raw, ins.reference, ins.scale), !missing,
                         meaning_of(info.codes, raw));
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
            TARVANE_CHECK(decode_element_step(ins.code, ins.info, ctx, state));
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

bool plain_state(const ValueCodingState& s) {
  return s.reference_definition_width == 0 && s.associated_field_width == 0 && !s.local_width &&
         s.width_change == 0 && s.scale_change == 0 && s.reference_multiplier == 1 && s.new_references.empty();
}

std::optional<std::vector<Instruction>> compile_program(std::span<const uint32_t> descriptors, const TableSet& tables,
                                                        size_t max_instructions) {
  Compiler c{tables, tables.element_index(), max_instructions, {}, 0};
  if (!walk_descriptors(descriptors, c, 0) || !c.flush()) return std::nullopt;
  return std::move(c.out);
}

Status run_program(std::span<const Instruction> program, DecodeContext& ctx, ValueCodingState& state) {
  Runner runner{ctx, state, plain_state(state)};
  return runner.run(program.data(), program.data() + program.size());
}

}  // namespace tarvane
