#include "element.hpp"

#include <algorithm>

namespace tarvane {

ElementInfo element_info(const ElementDefinition& def, const TableSet& tables) {
  ElementInfo info;
  info.def = &def;
  auto t = tables.code_tables.find(def.code);
  if (t != tables.code_tables.end()) info.codes = &t->second;
  info.is_text = is_character_unit(def.unit);
  info.class31 = is_class31(def.code);
  info.code_or_flag = is_code_or_flag_unit(def.unit);
  return info;
}

std::optional<std::string> decode_ia5_text(std::span<const uint8_t> bytes) {
  // Missing is all ones; encoders that write C strings pad a missing value
  // (or an empty one) with NULs after it. Neither holds a character, and the
  // reference decoder reports both as missing.
  size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == 0x00) --end;
  if (std::all_of(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end), [](uint8_t b) { return b == 0xFF; }))
    return std::nullopt;
  end = bytes.size();
  // After the mapping only 0x09..0x0D and the space are white space.
  while (end > 0 && (bytes[end - 1] == 0x20 || (bytes[end - 1] >= 0x09 && bytes[end - 1] <= 0x0D))) --end;
  std::string text(end, '?');
  for (size_t k = 0; k < end; ++k) {
    if (bytes[k] < 0x80) text[k] = static_cast<char>(bytes[k]);
  }
  return text;
}

Result<uint32_t> read_text(uint32_t width, BitReader& reader, DecodeResult& out) {
  size_t nbytes = (width + 7) / 8;
  std::array<uint8_t, 256> small;
  std::vector<uint8_t> large;
  uint8_t* buf = small.data();
  if (nbytes > small.size()) {
    // At most 8 KiB: widths are 16-bit.
    large.resize(nbytes);
    buf = large.data();
  }
  TARVANE_CHECK(reader.read_bytes_into(width, buf));
  auto text = decode_ia5_text(std::span<const uint8_t>(buf, nbytes));
  if (!text) return DecodedValue::kNoText;
  out.texts.push_back(std::move(*text));
  return static_cast<uint32_t>(out.texts.size() - 1);
}

Status read_character_element(const ElementInfo& info, uint32_t width, BitReader& reader, ValueCodingState& state,
                              DecodeResult& out) {
  TARVANE_TRY(uint32_t text, read_text(width, reader, out));
  state.text_counter += 1;
  DecodedValue v;
  v.descriptor = info.def->code;
  v.name = info.def->name;
  v.value = static_cast<double>(state.text_counter * 1000 + width / 8);
  v.has_value = true;
  v.text = text;
  out.values.push_back(v);
  return {};
}

Status read_signified_characters(uint32_t code, uint32_t count, BitReader& reader, DecodeResult& out) {
  TARVANE_TRY(uint32_t text, read_text(8 * count, reader, out));
  DecodedValue v;
  v.descriptor = code;
  v.name = kCharactersName;
  v.text = text;
  out.values.push_back(v);
  return {};
}

void set_new_reference(ValueCodingState& state, uint32_t code, int64_t reference) {
  for (auto& [c, r] : state.new_references) {
    if (c == code) {
      r = reference;
      return;
    }
  }
  state.new_references.emplace_back(code, reference);
}

Status read_new_reference(uint32_t code, BitReader& reader, ValueCodingState& state) {
  const uint32_t width = state.reference_definition_width;
  uint64_t raw;
  if (!reader.try_read(width, raw)) return fail(reader.read_error(width));
  set_new_reference(state, code, signed_reference(raw, width));
  return {};
}

Result<std::optional<double>> read_element(const ElementDefinition& definition, const TableSet& tables,
                                           BitReader& reader, ValueCodingState& state, DecodeResult& out) {
  ElementInfo info = element_info(definition, tables);
  TARVANE_CHECK(read_element_as(info, definition.width, element_reference(definition, state), reader, state, out));
  return numeric_value(out.values.back());
}

Status read_undefined_element(uint32_t code, BitReader& reader, ValueCodingState& state, DecodeResult& out) {
  if (!state.local_width) return fail(BufrError::element_not_found(code));
  const uint32_t width = *state.local_width;
  state.local_width.reset();
  uint64_t raw;
  if (!reader.try_read(width, raw)) return fail(reader.read_error(width));
  const bool missing = is_missing_raw(raw, width, (code % 100000) / 1000 == 31);
  const int64_t* defined = state.new_references.empty() ? nullptr : find_new_reference(state, code);
  write_numeric_record(out.values.append_for_overwrite(), code, kUndefinedName, raw,
                       missing ? 0.0 : scaled_value(raw, defined ? *defined : 0, 0), !missing, nullptr);
  // It holds its place among the elements a bitmap may designate.
  state.descriptor_history.push_back(nullptr);
  return {};
}

Status read_associated_field(BitReader& reader, uint8_t width, DecodeResult& out) {
  if (width == 0) return {};
  uint64_t raw;
  if (!reader.try_read(width, raw)) return fail(reader.read_error(width));
  DecodedValue v;
  v.descriptor = kAssociatedFieldCode;
  v.name = kAssociatedFieldName;
  v.value = static_cast<double>(raw);
  v.has_value = true;
  v.raw = raw;
  v.has_raw = true;
  out.values.push_back(v);
  return {};
}

namespace {

// 10^y in i64 by repeated squaring, modulo 2^64 beyond 10^18.
int64_t wrapping_pow10(uint32_t y) {
  uint64_t base = 10;
  uint64_t r = 1;
  while (y != 0) {
    if (y & 1) r *= base;
    base *= base;
    y >>= 1;
  }
  return static_cast<int64_t>(r);
}

// Y of a Table D member may exceed 255; a width stays a width, at most 0xFFFF.
uint16_t clamp_u16(uint64_t v) { return v > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(v); }

}  // namespace

void apply_operator(uint32_t code, ValueCodingState& state) {
  auto [f, x, y] = split_code(code);
  (void)f;
  int32_t yy = static_cast<int32_t>(y);
  switch (x) {
    case 1:
      state.width_change = y == 0 ? 0 : yy - 128;
      break;
    case 2:
      state.scale_change = y == 0 ? 0 : yy - 128;
      break;
    case 3:
      // 2 03 255 closes the definitions, 2 03 000 also drops every new
      // reference; any other YYY opens definitions of YYY bits each.
      if (y == 0) state.new_references.clear();
      state.reference_definition_width = y == 0 || y == 255 ? 0 : clamp_u16(y);
      break;
    case 4:
      // Section 3 gives Y up to 255; a larger Y from a table must not wrap
      // round to a small or zero width.
      state.associated_field_width = y > 255 ? 255 : static_cast<uint8_t>(y);
      break;
    case 6:
      state.local_width = clamp_u16(y);
      break;
    case 7:
      if (y == 0) {
        state.width_change = 0;
        state.scale_change = 0;
        state.reference_multiplier = 1;
      } else {
        state.width_change = (10 * yy + 2) / 3;
        state.scale_change = yy;
        state.reference_multiplier = wrapping_pow10(y);
      }
      break;
    case 8:
      if (y == 0) {
        state.text_width.reset();
      } else {
        state.text_width = clamp_u16(uint64_t{8} * y);
      }
      break;
    default:
      break;
  }
}

bool is_recorded_operator(uint32_t x, uint32_t y) {
  switch (x) {
    case 22:
    case 36:
    case 62:
      return y == 0;
    case 23:
    case 24:
    case 25:
    case 32:
      return y != 255;
    case 26:
    case 27:
    case 29:
    case 30:
    case 31:
    case 33:
    case 34:
    case 35:
    case 37:
    case 38:
    case 39:
    case 40:
    case 41:
    case 42:
      return true;
    default:
      return false;
  }
}

void apply_bitmap_operator(uint32_t x, uint32_t y, ValueCodingState& state) {
  state.bitmap_follows = false;
  if (y == 0 && (x == 22 || x == 23 || x == 24 || x == 25 || x == 32)) {
    if (!state.operator_anchor) state.operator_anchor = state.descriptor_history.size();
    state.bitmap_follows = true;
  } else if (x == 36 && y == 0) {
    state.collecting_bitmap = true;
    state.bitmap.clear();
    state.bitmap_cursor = 0;
    state.bitmap_anchor = state.descriptor_history.size();
  } else if ((x == 35 && y == 0) || (x == 37 && y != 0)) {
    state.bitmap.clear();
    state.bitmap_anchor = 0;
    state.bitmap_cursor = 0;
  } else if (x == 37) {
    state.bitmap_cursor = 0;
  }
}

void reset_coding_state(ValueCodingState& state, uint64_t text_counter) {
  state.bitmap.clear();
  state.descriptor_history.clear();
  state.reference_multiplier = 1;
  state.bitmap_cursor = 0;
  state.bitmap_anchor = 0;
  state.text_counter = text_counter;
  state.text_column_counter = 0;
  state.local_width.reset();
  state.text_width.reset();
  state.width_change = 0;
  state.scale_change = 0;
  state.collecting_bitmap = false;
  state.bitmap_follows = false;
  state.operator_anchor.reset();
  state.associated_field_width = 0;
  state.reference_definition_width = 0;
  state.new_references.clear();
}

void start_following_bitmap(ValueCodingState& state) {
  state.bitmap_follows = false;
  state.collecting_bitmap = true;
  state.bitmap.clear();
  state.bitmap_cursor = 0;
  state.bitmap_anchor = state.operator_anchor.value_or(state.descriptor_history.size());
}

Result<const ElementDefinition*> next_bitmap_element(ValueCodingState& state) {
  const size_t size = state.bitmap.size();
  if (size == 0 || state.bitmap_cursor >= size) return nullptr;
  // The bitmap lies over the last (size) elements read before 2 36 000.
  size_t base = state.bitmap_anchor >= size ? state.bitmap_anchor - size : 0;
  while (state.bitmap_cursor < size) {
    size_t pos = state.bitmap_cursor++;
    if (state.bitmap[pos] == 1) continue;
    size_t index = base + pos;
    if (index >= state.descriptor_history.size()) {
      return fail(BufrError::parse("bitmap reference is outside descriptor history"));
    }
    const ElementDefinition* d = state.descriptor_history[index];
    if (d == nullptr) return fail(BufrError::parse("bitmap designates an element that Table B lacks"));
    return d;
  }
  return nullptr;
}

Result<std::optional<MarkedElement>> next_marked_element(uint32_t x, const ElementCache& cache,
                                                         ValueCodingState& state) {
  TARVANE_TRY(const ElementDefinition* d, next_bitmap_element(state));
  if (d == nullptr) return std::optional<MarkedElement>();
  ElementInfo info;
  if (!cache.find(d->code, info)) info = element_info(*d, cache.tables());
  return MarkedElement{info, marker_coding(x, *d, state)};
}

}  // namespace tarvane
