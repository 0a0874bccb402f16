// Compressed data: one walk for all subsets; each item is written as a
// column, R0 the least value, NBINC the increments' width, 0 where every
// subset holds the same value.
#include <bit>
#include <string>
#include <vector>

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

struct ColumnWriter : DataWriter<ColumnWriter> {
  std::span<ValueSource* const> sources;
  // One column's values, reused from column to column.
  std::vector<CodedNumber>& numbers;
  std::vector<std::optional<std::string_view>>& texts;

  size_t n() const { return sources.size(); }

  Status pull_numbers(uint32_t code, const ElementInfo* info, const NumericTarget& t) {
    for (size_t j = 0; j < n(); ++j) {
      TARVANE_TRY(const EncodeValue v, sources[j]->next(code, info));
      TARVANE_TRY(numbers[j], code_number(v, t, j + 1, true));
    }
    return {};
  }

  // R0, NBINC and the increments of numbers; what subset 1 reads back.
  Result<std::optional<double>> put_numbers(const NumericTarget& t) {
    uint64_t lo = ~uint64_t{0}, hi = 0;
    bool any = false, any_missing = false;
    for (const CodedNumber& c : numbers) {
      if (c.missing) {
        any_missing = true;
        continue;
      }
      any = true;
      lo = c.raw < lo ? c.raw : lo;
      hi = c.raw > hi ? c.raw : hi;
    }
    BitWriter& out = ctx.out;
    const bool ones_kept = t.missing_allowed && t.width >= 2 && t.width <= 63 && lo == all_ones(t.width);
    if (!any || (hi == lo && !any_missing && !ones_kept)) {
      out.put(any ? lo : all_ones(t.width), t.width);
      out.put(0, 6);
      return entry_read_back(numbers[0], t);
    }
    // An all-ones R0 reads as missing in every subset: a present all-ones
    // raw is coded as an increment of 2 (0b11 is missing).
    if (t.missing_allowed && t.width >= 2 && t.width <= 63 && lo == all_ones(t.width)) lo -= 2;
    // An all-ones increment is missing where missing is allowed: the
    // increments keep clear of it.
    const uint64_t range = hi - lo;
    uint32_t nb = static_cast<uint32_t>(std::bit_width(range));
    if (t.missing_allowed && (any_missing || range == all_ones(nb))) nb = range == ~uint64_t{0} ? 64 : std::bit_width(range + 1);
    if (nb > 63) {
      return fail(BufrError::encode("the values of " + item_label(t.code, t.name) +
                                    " span more than 63 bits of increments"));
    }
    out.put(lo, t.width);
    out.put(nb, 6);
    for (const CodedNumber& c : numbers) out.put(c.missing ? all_ones(nb) : c.raw - lo, nb);
    return entry_read_back(numbers[0], t);
  }

  Result<std::optional<double>> number(uint32_t code, const ElementInfo* info, const NumericTarget& t) {
    TARVANE_CHECK(pull_numbers(code, info, t));
    return put_numbers(t);
  }

  Status text(uint32_t code, const ElementInfo* info, std::string_view name, uint32_t width) {
    bool all_same = true;
    for (size_t j = 0; j < n(); ++j) {
      TARVANE_TRY(const EncodeValue v, sources[j]->next(code, info));
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
      TARVANE_TRY(const int64_t r, sources[j]->new_reference(code, reference_scale(code)));
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
    for (ValueSource* s : sources) TARVANE_CHECK(s->skip_operator(code));
    return {};
  }
  // A missing entry counts as 0: every subset shares one bitmap.
  static std::optional<double> bitmap_value(std::optional<double> read) { return read.value_or(0.0); }

  Status delayed(uint32_t code, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    const uint32_t factor_code = factor_and_group[0];
    TARVANE_TRY(const ElementInfo* info, factor_info(factor_code));
    uint64_t count = 0;
    for (size_t j = 0; j < n(); ++j) {
      TARVANE_TRY(const uint64_t c, sources[j]->factor(code, factor_code));
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
    for (uint64_t k = 0; k < count; ++k) {
      for (ValueSource* s : sources) s->begin_repetition(k);
      TARVANE_CHECK(walk_descriptors(factor_and_group.subspan(1), *this, depth + 1));
    }
    for (ValueSource* s : sources) s->end_replication();
    return {};
  }
};

}  // namespace

Status write_compressed(std::span<const uint32_t> descriptors, WriteContext& ctx,
                        std::span<ValueSource* const> subsets) {
  ValueCodingState state;
  std::vector<CodedNumber> numbers(subsets.size());
  std::vector<std::optional<std::string_view>> texts(subsets.size());
  ColumnWriter writer{{ctx, state}, subsets, numbers, texts};
  return walk_descriptors(descriptors, writer, 0);
}

}  // namespace tarvane
