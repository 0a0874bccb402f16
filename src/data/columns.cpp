// Reading one compressed item for all subsets: numeric columns (R0, NBINC,
// increments), text columns, and the new reference values of 2 03 YYY.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "compressed.hpp"

namespace tarvane {

namespace {

// Inlined: a compressed column's R0 and NBINC are two of these, and the
// calls cost more than the reads where a small message has columns of a
// few subsets each.
[[gnu::always_inline]] inline Status read_bits(BitReader& reader, uint32_t width, uint64_t& out) {
  if (!reader.try_read(width, out)) [[unlikely]] return fail(reader.read_error(width));
  return {};
}

// Moves past total bits that per-subset reads of unit bits would consume,
// failing where the first of those reads would fail.
Status skip_bits(BitReader& reader, uint64_t total, uint32_t unit) {
  if (total <= reader.bits_remaining()) [[likely]] {
    reader.skip(total);
    return {};
  }
  // Short data (so unit is not 0): the reads that fit, then the failing one.
  reader.skip(reader.bits_remaining() / unit * unit);
  return fail(reader.read_error(unit));
}

// Consecutive fields of 1 to 63 bits, taken from the reader a 64-bit word at
// a time: one bounds check per word instead of one per field. The caller has
// made sure that the reader holds the total.
class FieldReader {
 public:
  FieldReader(BitReader& reader, uint64_t total) : reader_(reader), left_(total) {}

  uint64_t next(uint32_t width) {
    if (width <= avail_) {
      const uint64_t v = word_ >> (64 - width);
      word_ <<= width;
      avail_ -= width;
      return v;
    }
    // The rest of this word, then the head of the next.
    const uint32_t need = width - avail_;
    uint64_t v = avail_ == 0 ? 0 : (word_ >> (64 - avail_)) << need;
    const uint32_t k = left_ < 64 ? static_cast<uint32_t>(left_) : 64;
    uint64_t w = 0;
    reader_.try_read(k, w);
    left_ -= k;
    w <<= 64 - k;  // left-aligned; k >= need >= 1
    v |= w >> (64 - need);
    word_ = w << need;
    avail_ = k - need;
    return v;
  }

 private:
  BitReader& reader_;
  uint64_t left_;  // bits still in the reader
  uint64_t word_ = 0;  // left-aligned unread bits
  uint32_t avail_ = 0;
};

// One record for all subsets: only the first written when the caller takes
// a constant column as such, every one otherwise.
void set_constant(ColumnView column, const DecodedValue& value, bool* constant) {
  if (constant == nullptr) return fill_column(column, value);
  *constant = true;
  if (!column.empty()) column[0] = value;
}

// What a numeric column is read with; codes may be nullptr.
struct NumericItem {
  uint32_t code;
  std::string_view name;
  uint32_t width;
  int64_t reference;
  int32_t scale;
  bool missing_allowed;
  const CodeTable* codes;
};

// Writes only column[0] and sets *constant when constant is given and the
// column holds one record for all subsets.
Status read_numeric_column(const NumericItem& item, BitReader& reader, ColumnView column, bool* constant) {
  uint64_t r0;
  TARVANE_CHECK(read_bits(reader, item.width, r0));
  uint64_t nbinc;
  TARVANE_CHECK(read_bits(reader, 6, nbinc));
  const uint32_t nb = static_cast<uint32_t>(nbinc);
  const size_t n = column.size();
  const uint64_t total = uint64_t{n} * nb;
  const bool reference_missing = item.missing_allowed && is_missing_raw(r0, item.width, false);
  DecodedValue base;
  base.descriptor = item.code;
  base.name = item.name;
  base.has_raw = true;
  base.raw = r0;
  base.meaning = meaning_of(item.codes, r0);
  if (!reference_missing) {
    base.value = scaled_value(r0, item.reference, item.scale);
    base.has_value = true;
  }
  // Every subset holds R0 itself when NBINC is 0; the increments of a
  // missing R0 are read and dropped. Short data fail where the first read
  // past the end would.
  if (nb == 0 || reference_missing || total > reader.bits_remaining()) {
    TARVANE_CHECK(skip_bits(reader, total, nb));
    set_constant(column, base, constant);
    return {};
  }
  if (column.packed != nullptr && constant != nullptr && (item.codes == nullptr || column.pack_coded) && nb <= kMaxPackedWidth &&
      !column.empty()) {
    // Left for the caller to unpack into its output: the R0 record stands
    // for the column.
    column.packed->push_back({reader.position(), r0, item.reference, item.scale, nb, item.missing_allowed});
    TARVANE_CHECK(skip_bits(reader, total, nb));
    set_constant(column, base, constant);
    return {};
  }
  if (constant != nullptr) *constant = false;
  const uint64_t all_ones = (uint64_t{1} << nb) - 1;
  FieldReader fields(reader, total);
  uint64_t run_raw = r0;  // code meanings are looked up once per run of equal raws
  const std::string* run_meaning = base.meaning;
  DecodedValue* v = column.first;
  for (size_t j = 0; j < n; ++j, v += column.stride) {
    const uint64_t inc = fields.next(nb);
    // An all-ones increment leaves the value absent and R0 as the raw bits.
    const bool missing = item.missing_allowed && inc == all_ones;
    const uint64_t raw = missing ? r0 : r0 + inc;
    if (item.codes != nullptr && raw != run_raw) {
      run_raw = raw;
      run_meaning = meaning_of(item.codes, raw);
    }
    write_numeric_record(*v, item.code, item.name, raw,
                         missing ? base.value : scaled_value(raw, item.reference, item.scale), !missing, run_meaning);
  }
  return {};
}

Status read_character_column(const ElementInfo& info, uint32_t width, ValueCodingState& state, BitReader& reader,
                             DecodeResult& texts_out, ColumnView column, bool* constant) {
  const uint64_t k = state.text_column_counter++;
  DecodedValue base;
  base.descriptor = info.def->code;
  base.name = info.def->name;
  base.has_value = true;
  return read_text_column(base, width, column.size() * k, reader, texts_out, column, constant);
}

}  // namespace

void fill_column(ColumnView column, const DecodedValue& value) {
  if (column.empty()) return;
  // Copies from the stored first record: rebuilding the value per copy
  // costs a store-forwarding stall each time.
  DecodedValue* first = column.first;
  *first = value;
  DecodedValue* v = first;
  for (size_t j = 1; j < column.size(); ++j) {
    v += column.stride;
    std::memcpy(v, first, sizeof(DecodedValue));
  }
}

Status read_compressed_numeric_column(uint32_t code, std::string_view name, uint32_t width, int64_t reference,
                                      int32_t scale, bool missing_allowed, BitReader& reader, ColumnView column) {
  return read_numeric_column({code, name, width, reference, scale, missing_allowed, nullptr}, reader, column, nullptr);
}

Status read_associated_field_column(uint8_t width, BitReader& reader, ColumnView column, bool* constant) {
  return read_numeric_column({kAssociatedFieldCode, kAssociatedFieldName, width, 0, 0, false, nullptr}, reader, column,
                             constant);
}

Status read_compressed_element_column(const ElementInfo& info, uint32_t table_width, int64_t reference,
                                      ValueCodingState& state, BitReader& reader, DecodeResult& texts_out,
                                      ColumnView column, bool* constant) {
  if (info.is_text) {
    return read_character_column(info, character_width(table_width, state), state, reader, texts_out, column,
                                 constant);
  }
  const ElementDefinition& d = *info.def;
  const NumericCoding c = numeric_coding(info, table_width, reference, state);
  return read_numeric_column({d.code, d.name, c.width, c.reference, c.scale, !info.class31, info.codes},
                             reader, column, constant);
}

Status read_text_column(const DecodedValue& base, uint32_t width, uint64_t first_number, BitReader& reader,
                        DecodeResult& texts_out, ColumnView column, bool* constant) {
  std::vector<uint8_t> r0((width + 7) / 8);
  TARVANE_CHECK(reader.read_bytes_into(width, r0.data()));
  uint64_t nbinc;
  TARVANE_CHECK(read_bits(reader, 6, nbinc));
  const uint64_t n = column.size();
  uint32_t shared = DecodedValue::kNoText;
  if (nbinc == 0) {
    if (auto text = decode_ia5_text(r0)) {
      shared = static_cast<uint32_t>(texts_out.texts.size());
      texts_out.texts.push_back(std::move(*text));
    }
  }
  DecodedValue v = base;
  if (nbinc == 0 && !base.has_value) {
    // Nor is there a text number that differs.
    v.text = shared;
    set_constant(column, v, constant);
    return {};
  }
  if (constant != nullptr) *constant = false;
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
    if (base.has_value) v.value = static_cast<double>((first_number + j) * 1000 + width / 8);
    column[j - 1] = v;
  }
  return {};
}

Status read_compressed_new_reference(uint32_t code, size_t n, BitReader& reader, ValueCodingState& state) {
  // A numeric column of the definition width that leaves no records. The
  // changed reference serves every subset, so every subset must hold the
  // same value.
  const uint32_t width = state.reference_definition_width;
  uint64_t r0;
  TARVANE_CHECK(read_bits(reader, width, r0));
  uint64_t nbinc;
  TARVANE_CHECK(read_bits(reader, 6, nbinc));
  const uint32_t nb = static_cast<uint32_t>(nbinc);
  uint64_t raw = r0;
  for (size_t j = 0; j < n; ++j) {
    uint64_t inc = 0;
    if (!reader.try_read(nb, inc)) return fail(reader.read_error(nb));
    if (j == 0) {
      raw = r0 + inc;
    } else if (r0 + inc != raw) {
      return fail(BufrError::parse("compressed new reference value for " + code_text(code) +
                                   " differs between subsets"));
    }
  }
  set_new_reference(state, code, signed_reference(raw, width));
  return {};
}

}  // namespace tarvane
