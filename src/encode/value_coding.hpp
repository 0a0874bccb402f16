// One value as the bits the reader reads back: numbers through width,
// scale and reference, texts padded to their width, missing as all ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "../data/element.hpp"
#include "../error.hpp"
#include "encode.hpp"

namespace tarvane {

// How a numeric item is coded; unit may be empty (associated fields,
// elements Table B lacks).
struct NumericTarget {
  uint32_t code;
  std::string_view name;
  std::string_view unit;
  uint32_t width;
  int64_t reference;
  int32_t scale;
  bool missing_allowed;
};

inline uint64_t all_ones(uint32_t width) { return width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1; }

// The integer n that the reader turns into v (n / 10^scale, rounded as it
// rounds), or the nearest where none does; nullopt far outside any width.
std::optional<__int128> exact_integer(double v, int32_t scale);

// The raw bits of a numeric item; missing is set only where the item allows
// missing (elsewhere a missing value is the all-ones raw).
struct CodedNumber {
  uint64_t raw;
  bool missing;
};

// subset counts from 1, for the error text. Only compressed data hold a
// present all-ones raw (as R0 plus an increment).
[[nodiscard]] Result<CodedNumber> code_number(const EncodeValue& v, const NumericTarget& t, size_t subset,
                                              bool compressed);

// What the reader makes of raw: nullopt for missing.
inline std::optional<double> read_back(const CodedNumber& c, const NumericTarget& t) {
  if (c.missing) return std::nullopt;
  return scaled_value(c.raw, t.reference, t.scale);
}

// read_back where note_element uses it, for a bitmap entry (0 31 031):
// other elements skip the division.
inline std::optional<double> entry_read_back(const CodedNumber& c, const NumericTarget& t) {
  if (t.code != 31031) return std::nullopt;
  return read_back(c, t);
}

// The text of a character item of width bits (nullopt: missing), refused
// when longer than the width.
[[nodiscard]] Result<std::optional<std::string_view>> code_text_value(const EncodeValue& v, uint32_t code,
                                                                      std::string_view name, uint32_t width,
                                                                      size_t subset);

// The target of a numeric element as the reader reads it now.
inline NumericTarget element_target(const ElementInfo& info, uint32_t table_width, int64_t reference,
                                    const ValueCodingState& state) {
  const ElementDefinition& d = *info.def;
  const NumericCoding c = numeric_coding(info, table_width, reference, state);
  return {d.code, d.name, d.unit, c.width, c.reference, c.scale, !info.class31};
}

// An element Table B lacks, under 2 06 YYY (the caller has checked it).
inline NumericTarget undefined_target(uint32_t code, const ValueCodingState& state) {
  const int64_t* defined = state.new_references.empty() ? nullptr : find_new_reference(state, code);
  return {code, kUndefinedName, {}, *state.local_width, defined ? *defined : 0, 0, (code % 100000) / 1000 != 31};
}

inline NumericTarget associated_target(uint8_t width) {
  return {kAssociatedFieldCode, kAssociatedFieldName, {}, width, 0, 0, false};
}

// "0 31 001 (delayedDescriptorReplicationFactor)" and the like.
std::string item_label(uint32_t code, std::string_view name);

BufrError factor_mismatch_error(uint32_t replication, uint64_t factor, uint64_t written, size_t subset);

}  // namespace tarvane
