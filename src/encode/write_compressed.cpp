// Compressed data: one walk for all subsets; each item is written as a
// column, R0 the least value, NBINC the increments' width, 0 where every
// subset holds the same value.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../data/unpack.hpp"
#include "value_coding.hpp"
#include "writer.hpp"

namespace tarvane {

namespace {

// Texts equal once padded with spaces to the same width.
bool same_padded(std::optional<std::string_view> a, std::optional<std::string_view> b) {
  if (!a || !b) return !a && !b;
  auto trim = [](std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
  };
  return trim(*a) == trim(*b);
}

// The values of a column: the least and greatest present raw.
struct ColumnRange {
  uint64_t lo = ~uint64_t{0};
  uint64_t hi = 0;
  bool any = false;
  bool any_missing = false;
};

// R0 and NBINC of a column (nb 0: every subset holds R0).
struct ColumnCoding {
  uint64_t r0;
  uint32_t nb;
};

Result<ColumnCoding> column_coding(const ColumnRange& r, const NumericTarget& t) {
  const bool ones_kept = t.missing_allowed && t.width >= 2 && t.width <= 63 && r.lo == all_ones(t.width);
  if (!r.any || (r.hi == r.lo && !r.any_missing && !ones_kept)) return ColumnCoding{r.any ? r.lo : all_ones(t.width), 0};
  // An all-ones R0 reads as missing in every subset: a present all-ones
  // raw is coded as an increment of 2 (0b11 is missing).
  const uint64_t lo = ones_kept ? r.lo - 2 : r.lo;
  // An all-ones increment is missing where missing is allowed: the
  // increments keep clear of it.
  const uint64_t range = r.hi - lo;
  uint32_t nb = static_cast<uint32_t>(std::bit_width(range));
  if (t.missing_allowed && (r.any_missing || range == all_ones(nb))) nb = range == ~uint64_t{0} ? 64 : std::bit_width(range + 1);
  if (nb > 63) {
    return fail(BufrError::encode("the values of " + item_label(t.code, t.name) +
                                  " span more than 63 bits of increments"));
  }
  return ColumnCoding{lo, nb};
}

// The least and greatest present increment of a packed column, and whether
// one is missing (all ones where missing is allowed).
struct IncrementRange {
  uint64_t lo = ~uint64_t{0};
  uint64_t hi = 0;
  bool any_missing = false;
};

// n increments of nb bits from bit on; kInBounds: the payload holds 8 bytes
// from the byte of each.
template <bool kMayMiss, bool kInBounds>
IncrementRange scan_increments(std::span<const uint8_t> payload, size_t bit, uint32_t nb, size_t n,
                               bool may_miss = kMayMiss) {
  const uint64_t ones = all_ones(nb);
  uint64_t lo = ~uint64_t{0}, hi = 0;
  bool missing = false;
  for (size_t j = 0; j < n; ++j, bit += nb) {
    uint64_t w;
    if constexpr (kInBounds) {
      std::memcpy(&w, payload.data() + bit / 8, 8);
      w = __builtin_bswap64(w);
    } else {
      w = load_be64(payload.data(), payload.size(), bit / 8);
    }
    const uint64_t inc = (w << (bit & 7)) >> (64 - nb);
    const bool present = !(kMayMiss && may_miss && inc == ones);
    missing |= !present;
    lo = std::min(lo, present ? inc : ~uint64_t{0});
    hi = std::max(hi, present ? inc : 0);
  }
  return {lo, hi, missing};
}

struct ColumnWriter : DataWriter<ColumnWriter> {
  std::span<ValueSource* const> sources;
  // One column's values, reused from column to column.
  std::vector<CodedNumber>& numbers;
  std::vector<std::optional<std::string_view>>& texts;

  // Where every source is a RecordSource over one decoding in subset
  // order: record j of a column is stride * j after subset 0's (or the
  // column's own step after it, over compressed columns).
  std::span<RecordSource* const> strided;
  size_t stride = 0;

  size_t n() const { return sources.size(); }

  // The bulk paths move subset 1's source alone; the others follow, lag
  // records behind, before anything else asks them.
  size_t lag = 0;
  void step() {
    strided[0]->advance();
    ++lag;
  }
  std::span<ValueSource* const> all() {
    if (lag != 0) {
      for (size_t j = 1; j < strided.size(); ++j) strided[j]->advance(lag);
      lag = 0;
    }
    return sources;
  }

  // The column of numbers read straight from the records, as
  // RecordSource::next and code_number give them; false (nothing taken)
  // where a record does not fit, for the general path to report.
  bool column_of_records(uint32_t code, const NumericTarget& t) {
    if (strided.empty() || strided[0]->remaining() == 0 || strided[0]->packed(strided[0]->position())) return false;
    const DecodedValue* v = strided[0]->record(strided[0]->position());
    const size_t apart = strided[0]->columns() ? strided[0]->subset_step() : stride;
    const uint64_t ones = all_ones(t.width);
    const bool can_miss = t.missing_allowed && t.width <= 63;
    CodedNumber* out = numbers.data();
    for (size_t j = 0; j < n(); ++j, v += apart) {
      const bool missing = !v->has_value || !v->has_raw;
      if (v->descriptor != code || (!missing && v->raw > ones)) return false;
      out[j] = missing ? CodedNumber{ones, can_miss} : CodedNumber{v->raw, false};
    }
    step();
    return true;
  }

  Status pull_numbers(uint32_t code, const ElementInfo* info, const NumericTarget& t) {
    if (column_of_records(code, t)) return {};
    for (size_t j = 0; j < n(); ++j) {
      TARVANE_TRY(const EncodeValue v, all()[j]->next(code, info));
      TARVANE_TRY(numbers[j], code_number(v, t, j + 1, true));
    }
    return {};
  }

  // R0, NBINC and the increments of numbers; what subset 1 reads back.
  Result<std::optional<double>> put_numbers(const NumericTarget& t) {
    ColumnRange r;
    for (const CodedNumber& c : numbers) {
      if (c.missing) {
        r.any_missing = true;
        continue;
      }
      r.any = true;
      r.lo = c.raw < r.lo ? c.raw : r.lo;
      r.hi = c.raw > r.hi ? c.raw : r.hi;
    }
    TARVANE_TRY(const ColumnCoding k, column_coding(r, t));
    ctx.out.put(k.r0, t.width);
    ctx.out.put(k.nb, 6);
    if (k.nb != 0) {
      const uint64_t missing = all_ones(k.nb);
      const uint64_t lo = k.r0;
      const CodedNumber* c = numbers.data();
      ctx.out.put_run(numbers.size(), k.nb, [c, lo, missing](size_t j) { return c[j].missing ? missing : c[j].raw - lo; });
    }
    return entry_read_back(numbers[0], t);
  }

  // A column the reader left packed, written from its increments in the
  // payload, as pull_numbers and put_numbers would write it; false (nothing
  // taken) where that is not certain, for the general path.
  bool packed_column(uint32_t code, const NumericTarget& t, const PackedColumn& p, std::optional<double>& read) {
    const RecordSource& first = *strided[0];
    if (first.record(first.position())->descriptor != code || t.width > 63 || p.missing_allowed != t.missing_allowed)
      return false;
    const std::span<const uint8_t> payload = first.payload();
    const size_t s0 = first.subset();
    const uint64_t inc_missing = all_ones(p.nb);
    const bool may_miss = p.missing_allowed;
    const size_t bit = p.bit + s0 * p.nb;
    // Whole 8-byte loads where the payload holds them (all but the tail).
    const IncrementRange in = (bit + (n() - 1) * p.nb) / 8 + 8 <= payload.size()
                                  ? (may_miss ? scan_increments<true, true>(payload, bit, p.nb, n())
                                              : scan_increments<false, true>(payload, bit, p.nb, n()))
                                  : scan_increments<true, false>(payload, bit, p.nb, n(), may_miss);
    const uint64_t lo = in.lo, hi = in.hi;
    const bool any_missing = in.any_missing;
    const bool any = lo <= hi;
    // Raws past the width are refused by the general path.
    if (any && p.r0 + hi > all_ones(t.width)) return false;
    const ColumnRange r{any ? p.r0 + lo : ~uint64_t{0}, any ? p.r0 + hi : 0, any, any_missing};
    const auto k = column_coding(r, t);
    if (!k) return false;
    ctx.out.put(k->r0, t.width);
    ctx.out.put(k->nb, 6);
    if (k->r0 == p.r0 && k->nb == p.nb) {
      // The source's own increments.
      ctx.out.put_bits(payload, p.bit + s0 * p.nb, n() * p.nb);
    } else if (k->nb != 0) {
      // r0 + inc - R0 is never negative, whichever is larger of r0 and R0.
      const uint64_t shift = p.r0 - k->r0;
      const uint64_t missing = all_ones(k->nb);
      ctx.out.put_run(n(), k->nb, [&](size_t j) {
        const uint64_t inc = packed_increment(p, payload, s0 + j);
        return may_miss && inc == inc_missing ? missing : inc + shift;
      });
    }
    const uint64_t inc0 = packed_increment(p, payload, s0);
    const bool missing0 = may_miss && inc0 == inc_missing;
    read = entry_read_back(missing0 ? CodedNumber{all_ones(t.width), true} : CodedNumber{p.r0 + inc0, false}, t);
    step();
    return true;
  }

  // A column of one record for every subset written as one value where it
  // is one (not an all-ones raw kept present).
  bool constant_column(uint32_t code, const NumericTarget& t, std::optional<double>& read) {
    const RecordSource& first = *strided[0];
    const DecodedValue& v = *first.record(first.position());
    const uint64_t ones = all_ones(t.width);
    const bool missing = !v.has_value || !v.has_raw;
    if (v.descriptor != code || (!missing && v.raw > ones)) return false;
    const CodedNumber c = missing ? CodedNumber{ones, t.missing_allowed && t.width <= 63} : CodedNumber{v.raw, false};
    const ColumnRange r{c.missing ? ~uint64_t{0} : c.raw, c.missing ? 0 : c.raw, !c.missing, c.missing};
    const auto k = column_coding(r, t);
    if (!k || k->nb != 0) return false;
    ctx.out.put(k->r0, t.width);
    ctx.out.put(0, 6);
    read = entry_read_back(c, t);
    step();
    return true;
  }

  // The column written straight from the decoded columns where it can be.
  bool column_of_columns(uint32_t code, const NumericTarget& t, std::optional<double>& read) {
    if (strided.empty() || strided[0]->columns() == nullptr || strided[0]->remaining() == 0) return false;
    const RecordSource& first = *strided[0];
    if (const PackedColumn* p = first.packed(first.position())) return packed_column(code, t, *p, read);
    return first.subset_step() == 0 && constant_column(code, t, read);
  }

  Result<std::optional<double>> number(uint32_t code, const ElementInfo* info, const NumericTarget& t) {
    std::optional<double> read;
    if (column_of_columns(code, t, read)) return read;
    TARVANE_CHECK(pull_numbers(code, info, t));
    return put_numbers(t);
  }

  Status text(uint32_t code, const ElementInfo* info, std::string_view name, uint32_t width) {
    bool all_same = true;
    for (size_t j = 0; j < n(); ++j) {
      TARVANE_TRY(const EncodeValue v, all()[j]->next(code, info));
      TARVANE_TRY(texts[j], code_text_value(v, code, name, width, j + 1));
      all_same = all_same && same_padded(texts[j], texts[0]);
    }
    if (all_same) {
      put_text(ctx.out, texts[0], width);
      ctx.out.put(0, 6);
      return {};
    }
    if (width % 8 != 0 || width / 8 > 63) {
      return fail(BufrError::encode("texts of " + item_label(code, name) + " differ between subsets and are " +
                                    std::to_string(width) + " bits wide: compressed texts differ in at most 63 whole characters"));
    }
    ctx.out.put_zeros(width);
    ctx.out.put(width / 8, 6);
    for (const auto& text : texts) put_text(ctx.out, text, width);
    return {};
  }

  Status new_reference(uint32_t code) {
    int64_t first = 0;
    for (size_t j = 0; j < n(); ++j) {
      TARVANE_TRY(const int64_t r, all()[j]->new_reference(code, reference_scale(code)));
      if (j == 0) first = r;
      if (r != first) {
        return fail(BufrError::encode("new reference values of " + code_text(code) + " differ between subsets"));
      }
    }
    const uint32_t width = state.reference_definition_width;
    TARVANE_TRY(const uint64_t bits, new_reference_bits(code, first, width));
    ctx.out.put(bits, width);
    ctx.out.put(0, 6);
    set_new_reference(state, code, first);
    return {};
  }

  Status skip_operator(uint32_t code) {
    for (ValueSource* s : all()) TARVANE_CHECK(s->skip_operator(code));
    return {};
  }
  // A missing entry counts as 0: every subset shares one bitmap.
  static std::optional<double> bitmap_value(std::optional<double> read) { return read.value_or(0.0); }

  // An element under no operator through the column path, its target
  // compiled into the instruction.
  Status direct_element(const Instruction& ins) {
    const ElementInfo& info = *ins.info;
    const NumericTarget t{ins.code, info.def->name, info.def->unit, ins.width, ins.reference, ins.scale, !info.class31};
    TARVANE_TRY(const std::optional<double> read, number(ins.code, &info, t));
    note_element(ins.code, info.def, bitmap_value(read), state);
    return {};
  }
  void begin_repetition(uint64_t k) {
    for (ValueSource* s : all()) s->begin_repetition(k);
  }
  void end_replication() {
    for (ValueSource* s : all()) s->end_replication();
  }

  // A delayed replication's factor column written: its count, the same in
  // every subset.
  Result<uint64_t> write_factor(uint32_t code, const ElementInfo* info) {
    const uint32_t factor_code = info->def->code;
    uint64_t count = 0;
    for (size_t j = 0; j < n(); ++j) {
      TARVANE_TRY(const uint64_t c, all()[j]->factor(code, factor_code));
      if (j == 0) count = c;
      if (c != count) {
        return fail(BufrError::encode("replication factors of " + code_text(code) +
                                      " differ between subsets, which compressed data cannot hold: " +
                                      std::to_string(count) + " in subset 1, " + std::to_string(c) + " in subset " +
                                      std::to_string(j + 1)));
      }
    }
    const NumericTarget t = element_target(*info, info->def->width, element_reference(*info->def, state), state);
    TARVANE_CHECK(pull_numbers(factor_code, info, t));
    for (size_t j = 0; j < n(); ++j) {
      const uint64_t written = repetition_count(read_back(numbers[j], t));
      if (written != count) return fail(factor_mismatch_error(code, count, written, j + 1));
    }
    TARVANE_TRY(auto read, put_numbers(t));
    (void)read;
    state.descriptor_history.push_back(info->def);
    return count;
  }

  Status delayed(uint32_t code, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    TARVANE_TRY(const ElementInfo* info, factor_info(factor_and_group[0]));
    TARVANE_TRY(const uint64_t count, write_factor(code, info));
    for (uint64_t k = 0; k < count; ++k) {
      for (ValueSource* s : all()) s->begin_repetition(k);
      TARVANE_CHECK(walk_descriptors(factor_and_group.subspan(1), *this, depth + 1));
    }
    for (ValueSource* s : all()) s->end_replication();
    return {};
  }
};

// The sources as RecordSources of subsets in order over one decoding, in
// step, or none.
std::vector<RecordSource*> strided_records(std::span<ValueSource* const> subsets) {
  std::vector<RecordSource*> out;
  for (ValueSource* s : subsets) {
    RecordSource* r = s->records();
    if (r == nullptr || (!out.empty() && &r->result() != &out[0]->result())) return {};
    out.push_back(r);
  }
  if (out.size() < 2) return out;
  const RecordSource& first = *out[0];
  const size_t stride = out[1]->position() - first.position();
  if (first.columns() == nullptr && out[1]->position() <= first.position()) return {};
  for (size_t j = 0; j < out.size(); ++j) {
    const RecordSource& r = *out[j];
    const bool in_step = first.columns() ? r.columns() == first.columns() && r.subset() == first.subset() + j &&
                                               r.position() == first.position()
                                         : r.columns() == nullptr && r.position() == first.position() + j * stride;
    if (!in_step || r.remaining() != first.remaining()) return {};
  }
  return out;
}

}  // namespace

Status write_compressed(std::span<const uint32_t> descriptors, WriteContext& ctx,
                        std::span<ValueSource* const> subsets) {
  ValueCodingState state;
  std::vector<CodedNumber> numbers(subsets.size());
  std::vector<std::optional<std::string_view>> texts(subsets.size());
  std::vector<RecordSource*> strided = strided_records(subsets);
  ColumnWriter writer{{ctx, state}, subsets, numbers, texts, strided,
                      strided.size() > 1 ? strided[1]->position() - strided[0]->position() : 0};
  const std::shared_ptr<const CachedProgram> program = cached_program(descriptors, ctx.cache.tables());
  const Status done = program->compiled ? run_writer_program(program->instructions, writer)
                                        : walk_descriptors(descriptors, writer, 0);
  writer.all();
  return done;
}

}  // namespace tarvane
