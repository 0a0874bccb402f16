// Arbitrary section 3 descriptor lists with arbitrary section 4 payloads,
// uncompressed and compressed, decoded against the bundled WMO tables.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "data/decode.hpp"
#include "data/to_columns.hpp"
#include "tables/loaders.hpp"

#ifndef TARVANE_SOURCE_DIR
#define TARVANE_SOURCE_DIR "."
#endif

namespace {

const tarvane::TableSet& tables() {
  static const tarvane::TableSet t = [] {
    auto loaded = tarvane::from_bufr4_45(TARVANE_SOURCE_DIR "/python/tarvane/tables/wmo-bufr4-v45");
    if (!loaded || loaded->elements.empty()) std::abort();
    tarvane::TableSet s = std::move(*loaded);
    // A code table so meaning lookups are exercised too.
    s.insert_code_table(1003, {{0, "Antarctica"}, {1, "Africa"}, {7, "Missing"}});
    return s;
  }();
  return t;
}

}  // namespace

// The reading layer's columns hold the records' numbers: compressed ones
// come by another path (increments unpacked from the payload).
void check_columns(const tarvane::MessageColumns& c, const tarvane::DecodeResult& r) {
  if (c.value.size != r.values.size()) __builtin_trap();
  for (size_t i = 0; i < r.values.size(); ++i) {
    const tarvane::DecodedValue& v = r.values[i];
    const double x = c.value.data()[i];
    if (v.has_value && v.has_raw ? std::memcmp(&x, &v.value, sizeof x) != 0 : !std::isnan(x)) __builtin_trap();
  }
}

// Layout: flags byte (bit 0 compressed, bit 1 columns with raw and meanings), subsets (1 byte), descriptor count
// (1 byte), that many 16-bit section 3 descriptors, then the payload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  tarvane::BufrMessage m;
  m.edition = 4;
  m.compressed_data = (data[0] & 1) != 0;
  m.number_of_subsets = data[1];
  size_t count = data[2];
  size_t pos = 3;
  for (size_t k = 0; k < count && pos + 2 <= size; ++k, pos += 2)
    m.unexpanded_descriptors.push_back(((data[pos] >> 6) * 100000u) + ((data[pos] & 0x3F) * 1000u) + data[pos + 1]);
  std::span<const uint8_t> payload(data + pos, size - pos);
  auto r = tarvane::decode_uncompressed_values(m, tables(), payload);
  if (r) {
    for (const auto& v : r->values) {
      if (v.text != tarvane::DecodedValue::kNoText && v.text >= r->texts.size()) __builtin_trap();
    }
  }
  tarvane::DecodeResult scratch;
  auto c = tarvane::decode_columns(m, tables(), payload, scratch, (data[0] & 2) != 0);
  if (bool(c) != bool(r)) __builtin_trap();
  if (c) check_columns(*c, *r);
  return 0;
}
