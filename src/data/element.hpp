// Reading single values out of section 4: one Table B element, one
// associated field, character text; and the operator table that changes the
// coding state. The uncompressed and compressed walks share the width, scale,
// reference and missing-value rules defined here.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "../bitstream.hpp"
#include "../descriptor.hpp"
#include "../error.hpp"
#include "../tables/table_set.hpp"
#include "decoded_value.hpp"

namespace tarvane {

ElementInfo element_info(const ElementDefinition& def, const TableSet& tables);

// The element lookup of one decoding call, through the TableSet's index
// (built by the first call that uses the set, kept with it).
class ElementCache {
 public:
  explicit ElementCache(const TableSet& tables) : tables_(&tables), index_(&tables.element_index()) {}

  // nullptr when code is not in Table B.
  const ElementInfo* find(uint32_t code) const { return index_->find(code); }
  // false when code is not in Table B.
  bool find(uint32_t code, ElementInfo& out) const {
    const ElementInfo* info = index_->find(code);
    if (info == nullptr) return false;
    out = *info;
    return true;
  }

  const TableSet& tables() const { return *tables_; }

 private:
  const TableSet* tables_;
  const ElementIndex* index_;
};

// 10^e by repeated squaring in double; a negative power is the reciprocal of
// the positive one, so the result is bit-identical however e was reached.
constexpr double pow10_by_squaring(int32_t e) {
  double base = 10.0;
  double r = 1.0;
  int64_t b = e < 0 ? -int64_t{e} : int64_t{e};
  while (true) {
    if (b & 1) r *= base;
    b /= 2;
    if (b == 0) break;
    base *= base;
  }
  return e < 0 ? 1.0 / r : r;
}

inline constexpr int32_t kPow10TableRange = 40;
inline constexpr auto kPow10Table = [] {
  std::array<double, 2 * kPow10TableRange + 1> t{};
  for (int32_t e = -kPow10TableRange; e <= kPow10TableRange; ++e) t[e + kPow10TableRange] = pow10_by_squaring(e);
  return t;
}();

inline double pow10_for_scale(int32_t scale) {
  if (scale >= -kPow10TableRange && scale <= kPow10TableRange) return kPow10Table[scale + kPow10TableRange];
  return pow10_by_squaring(scale);
}

// (raw + reference) as an exact integer, rounded once to f64, over 10^scale.
inline double scaled_value(uint64_t raw, int64_t reference, int32_t scale) {
  int64_t sum;
  double exact;
  if (raw <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
      !__builtin_add_overflow(static_cast<int64_t>(raw), reference, &sum)) {
    exact = static_cast<double>(sum);
  } else {
    exact = static_cast<double>(static_cast<__int128>(raw) + static_cast<__int128>(reference));
  }
  // x / 1.0 is x: most elements have scale 0, and a division is slow.
  return scale == 0 ? exact : exact / pow10_for_scale(scale);
}

// All bits one means missing, except in class 31 and at width 64.
inline bool is_missing_raw(uint64_t raw, uint32_t width, bool class31) {
  return width <= 63 && !class31 && raw == (uint64_t{1} << width) - 1;
}

// Effective width of a numeric element of Table B width table_width.
inline uint32_t numeric_width(uint32_t table_width, const ValueCodingState& s) {
  if (s.local_width) return *s.local_width;
  int64_t w = int64_t{table_width} + s.width_change;
  if (w < 0) return 0;
  return w > 65535 ? 65535u : static_cast<uint32_t>(w);
}

inline uint32_t character_width(uint32_t table_width, const ValueCodingState& s) {
  return s.text_width ? *s.text_width : table_width;
}

// The width, reference and scale a numeric element is read with. 2 06 YYY
// gives only a width: the table's scale and reference belong to its own
// width, so the value is the plain integer read (as the reference decoder
// reads it), moved only by a new reference the data define with 2 03 YYY.
struct NumericCoding {
  uint32_t width;
  int64_t reference;
  int32_t scale;
};

inline int32_t effective_scale(int32_t table_scale, const ValueCodingState& s) {
  return static_cast<int32_t>(static_cast<uint32_t>(table_scale) + static_cast<uint32_t>(s.scale_change));
}

inline NumericCoding numeric_coding(const ElementInfo& info, uint32_t table_width, int64_t reference,
                                    const ValueCodingState& s) {
  if (s.local_width) [[unlikely]] {
    const int64_t* defined = s.new_references.empty() ? nullptr : find_new_reference(s, info.def->code);
    return {*s.local_width, defined ? *defined : 0, 0};
  }
  if (info.code_or_flag) return {table_width, reference, info.def->scale};
  return {numeric_width(table_width, s), reference, effective_scale(info.def->scale, s)};
}

// Table B reference under 2 07 YYY; wraps on overflow like the multiplier.
inline int64_t effective_reference(int64_t table_reference, const ValueCodingState& s) {
  return static_cast<int64_t>(static_cast<uint64_t>(table_reference) * static_cast<uint64_t>(s.reference_multiplier));
}

// The reference an element is read with. A new reference from 2 03 YYY is
// the reference itself, as the data define it, so 2 07 YYY does not multiply
// it; the multiplier scales Table B references only.
inline int64_t element_reference(const ElementDefinition& d, const ValueCodingState& s) {
  if (!s.new_references.empty()) [[unlikely]] {
    if (const int64_t* r = find_new_reference(s, d.code)) return *r;
  }
  return effective_reference(d.reference, s);
}

// A new reference value of width bits: the left-most bit is the sign, the
// rest the magnitude.
inline int64_t signed_reference(uint64_t raw, uint32_t width) {
  const uint64_t sign = uint64_t{1} << (width - 1);
  return (raw & sign) != 0 ? -static_cast<int64_t>(raw & (sign - 1)) : static_cast<int64_t>(raw);
}

// Records code's new reference, replacing an earlier one.
void set_new_reference(ValueCodingState& state, uint32_t code, int64_t reference);

// Reads the new reference value that element descriptor code carries while
// 2 03 YYY is in force; it leaves no record.
[[nodiscard]] Status read_new_reference(uint32_t code, BitReader& reader, ValueCodingState& state);

// Text of character bytes: absent when every byte is 0xFF or NUL and the
// NULs all trail (all ones, all NULs, all ones padded with NULs); bytes
// above 0x7F shown as '?', trailing white space removed.
std::optional<std::string> decode_ia5_text(std::span<const uint8_t> bytes);

// Reads width bits of characters into out.texts; their index there, or
// kNoText when the text is absent.
[[nodiscard]] Result<uint32_t> read_text(uint32_t width, BitReader& reader, DecodeResult& out);

// Reads a character element of width bits, appends its record.
[[nodiscard]] Status read_character_element(const ElementInfo& info, uint32_t width, BitReader& reader, ValueCodingState& state,
                              DecodeResult& out);

// 2 05 YYY: reads the YYY characters that follow in the data and appends
// their record. They are no character element: no number, no history.
[[nodiscard]] Status read_signified_characters(uint32_t code, uint32_t count, BitReader& reader, DecodeResult& out);

// The code-table meaning of raw, or nullptr; codes may be nullptr.
inline const std::string* meaning_of(const CodeTable* codes, uint64_t raw) {
  if (codes == nullptr) return nullptr;
  auto m = codes->find(raw);
  return m == codes->end() ? nullptr : &m->second;
}

// Writes every field of a numeric record once, in place: a local record
// copied in stalls on store forwarding.
[[gnu::always_inline]] inline void write_numeric_record(DecodedValue& v, uint32_t code, std::string_view name,
                                                        uint64_t raw, double value, bool has_value,
                                                        const std::string* meaning) {
  v.descriptor = code;
  v.text = DecodedValue::kNoText;
  v.value = value;
  v.raw = raw;
  v.name = name;
  v.meaning = meaning;
  v.has_value = has_value;
  v.has_raw = true;
}

// Reads the element of info with the given Table B width (a 2 25 255 marker
// changes it) and the reference to use (element_reference, or the marker's)
// and appends exactly one record; the value, when a caller needs it, is that
// record's. A Status, not a value, so that the success path of the walk
// builds nothing but the record.
[[gnu::always_inline]] inline Status read_element_as(const ElementInfo& info, uint32_t table_width, int64_t reference,
                              BitReader& reader, ValueCodingState& state, DecodeResult& out) {
  const ElementDefinition& d = *info.def;
  if (info.is_text) return read_character_element(info, character_width(table_width, state), reader, state, out);
  const NumericCoding c = numeric_coding(info, table_width, reference, state);
  uint64_t raw;
  if (!reader.try_read(c.width, raw)) return fail(reader.read_error(c.width));
  const bool missing = is_missing_raw(raw, c.width, info.class31);
  write_numeric_record(out.values.append_for_overwrite(), d.code, d.name, raw,
                       missing ? 0.0 : scaled_value(raw, c.reference, c.scale), !missing, meaning_of(info.codes, raw));
  return {};
}

// An element Table B lacks, as a plain integer of the width 2 06 YYY gives
// it, so that the rest of the data can be read; without 2 06 YYY, not found.
// It leaves a record with its descriptor and no name.
[[nodiscard]] Status read_undefined_element(uint32_t code, BitReader& reader, ValueCodingState& state, DecodeResult& out);

// The numeric value of a record (absent for missing and character values).
inline std::optional<double> numeric_value(const DecodedValue& v) {
  if (!v.has_value || !v.has_raw) return std::nullopt;
  return v.value;
}

// definition must be the TableSet's own entry: records refer to its name.
[[nodiscard]] Result<std::optional<double>> read_element(const ElementDefinition& definition, const TableSet& tables,
                                           BitReader& reader, ValueCodingState& state, DecodeResult& out);

// Width 0 reads and appends nothing.
[[nodiscard]] Status read_associated_field(BitReader& reader, uint8_t width, DecodeResult& out);

// The record of an operator met on the way (2 22 000, 2 36 000, ...).
inline DecodedValue operator_record(uint32_t code) {
  DecodedValue v;
  v.descriptor = code;
  v.name = kOperatorName;
  v.value = 0.0;
  v.has_value = true;
  v.raw = 0;
  v.has_raw = true;
  return v;
}

// Changes the state for operator 2 XX YYY; reads no bits, never fails.
// 2 05 YYY is the walk's: it reads data.
void apply_operator(uint32_t code, ValueCodingState& state);

// Whether operator 2 XX YYY leaves a record in the output.
bool is_recorded_operator(uint32_t x, uint32_t y);

// The bitmap bookkeeping of the recorded operators 2 35, 2 36, 2 37.
void apply_bitmap_operator(uint32_t x, uint32_t y, ValueCodingState& state);

void start_following_bitmap(ValueCodingState& state);

// Whether the element just read is a bitmap entry (0 31 031 in a bitmap).
inline bool is_bitmap_entry(uint32_t code, ValueCodingState& state) {
  if (code != 31031) return false;
  if (state.bitmap_follows) [[unlikely]] start_following_bitmap(state);
  return state.collecting_bitmap;
}

// 2 23 255, 2 24 255, 2 25 255 and 2 32 255 read a value for the element
// the bitmap designates.
inline bool is_bitmap_marker(uint32_t x, uint32_t y) {
  return y == 255 && (x == 23 || x == 24 || x == 25 || x == 32);
}

// A 2 25 255 value is a difference: one bit wider than the element, with a
// reference that centres it on zero.
inline void difference_statistics(uint32_t& width, int64_t& reference) {
  reference = width >= 63 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << width);
  width = width + 1 > 65535 ? 65535 : width + 1;
}

// A replication factor as a repetition count: fraction dropped, negative to
// 0, saturating; a missing factor repeats nothing.
inline uint64_t repetition_count(std::optional<double> factor) {
  if (!factor || !(*factor > 0.0)) return 0;
  if (*factor >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(*factor);
}

// A 0 31 031 value as a bitmap entry: truncated to u32 (saturating), then
// clamped to 255.
inline uint8_t bitmap_entry(double value) {
  if (!(value > 0.0)) return 0;
  return value >= 255.0 ? 255 : static_cast<uint8_t>(value);
}

// The Table B width and reference a bitmap marker 2 XX 255 codes the
// designated element d with.
struct MarkerCoding {
  uint32_t table_width;
  int64_t reference;
};

inline MarkerCoding marker_coding(uint32_t x, const ElementDefinition& d, const ValueCodingState& s) {
  MarkerCoding c{d.width, element_reference(d, s)};
  if (x == 25) {
    difference_statistics(c.table_width, c.reference);
    c.reference = effective_reference(c.reference, s);
  }
  return c;
}

// The element a bitmap marker 2 XX 255 designates next, with its coding;
// nullopt when the bitmap designates no more.
struct MarkedElement {
  ElementInfo info;
  MarkerCoding coding;
};

[[nodiscard]] Result<std::optional<MarkedElement>> next_marked_element(uint32_t x, const ElementCache& cache,
                                                                       ValueCodingState& state);

// After an element is coded: a bitmap entry (value: the entry's, nullopt
// when it is not kept) joins the bitmap, any other element the history.
inline void note_element(uint32_t code, const ElementDefinition* def, std::optional<double> value,
                         ValueCodingState& state) {
  state.local_width.reset();
  if (is_bitmap_entry(code, state)) {
    if (value) state.bitmap.push_back(bitmap_entry(*value));
  } else {
    state.descriptor_history.push_back(def);
  }
}

}  // namespace tarvane
