// Hand-built tables, messages and section 4 payloads for the decoder tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/decode.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace tarvane::data_test {

// Packs values most significant bit first.
struct BitWriter {
  std::vector<uint8_t> bytes;
  size_t bits = 0;

  BitWriter& put(uint64_t value, unsigned width) {
    for (unsigned k = width; k-- > 0;) {
      if (bits % 8 == 0) bytes.push_back(0);
      // Widths above 64 pad with leading zero bits.
      if (k < 64 && ((value >> k) & 1u)) bytes.back() |= static_cast<uint8_t>(0x80u >> (bits % 8));
      ++bits;
    }
    return *this;
  }
  BitWriter& ones(unsigned width) {
    for (unsigned k = 0; k < width; ++k) put(1, 1);
    return *this;
  }
  BitWriter& text(std::string_view s) {
    for (char c : s) put(static_cast<uint8_t>(c), 8);
    return *this;
  }
};

inline ElementDefinition numeric(uint32_t code, std::string name, uint16_t width, int32_t scale = 0,
                                 int64_t reference = 0) {
  ElementDefinition d;
  d.code = code;
  d.name = std::move(name);
  d.unit = "K";
  d.element_type = "long";
  d.width = width;
  d.scale = scale;
  d.reference = reference;
  return d;
}

inline ElementDefinition character(uint32_t code, std::string name, uint16_t width) {
  ElementDefinition d;
  d.code = code;
  d.name = std::move(name);
  d.unit = "CCITT IA5";
  d.element_type = "string";
  d.width = width;
  return d;
}

// A small Table B: A..E are 8-bit numbers 0 01 001..0 01 005, the class 31
// factors and indicators, a 12-bit temperature and an 8-character text.
inline TableSet basic_tables() {
  TableSet t;
  for (uint32_t k = 1; k <= 5; ++k) t.insert_element(numeric(1000 + k, std::string(1, char('A' + k - 1)), 8));
  t.insert_element(numeric(31000, "SHORT DELAYED DESCRIPTOR REPLICATION FACTOR", 1));
  t.insert_element(numeric(31001, "DELAYED DESCRIPTOR REPLICATION FACTOR", 8));
  t.insert_element(numeric(31002, "EXTENDED DELAYED DESCRIPTOR REPLICATION FACTOR", 16));
  t.insert_element(numeric(31021, "ASSOCIATED FIELD SIGNIFICANCE", 6));
  t.insert_element(numeric(31031, "DATA PRESENT INDICATOR", 1));
  t.insert_element(numeric(12101, "TEMPERATURE", 12, 1, -2732));
  t.insert_element(character(1015, "STATION OR SITE NAME", 64));
  t.insert_element(numeric(20003, "PRESENT WEATHER", 9));
  t.insert_code_table(20003, {{0, "Clear"}, {511, "Missing code"}});
  return t;
}

inline BufrMessage message(std::vector<uint32_t> descriptors, uint16_t subsets = 1, bool compressed = false) {
  BufrMessage m;
  m.edition = 4;
  m.number_of_subsets = subsets;
  m.compressed_data = compressed;
  m.unexpanded_descriptors = std::move(descriptors);
  return m;
}

inline Result<DecodeResult> decode(const TableSet& t, std::vector<uint32_t> descriptors, const BitWriter& w,
                                   uint16_t subsets = 1, bool compressed = false) {
  BufrMessage m = message(std::move(descriptors), subsets, compressed);
  return decode_uncompressed_values(m, t, std::span<const uint8_t>(w.bytes.data(), w.bytes.size()));
}

inline std::vector<uint32_t> codes(const DecodeResult& r) {
  std::vector<uint32_t> out;
  for (const auto& v : r.values) out.push_back(v.descriptor);
  return out;
}

// raw of every record (UINT64_MAX where absent).
inline std::vector<uint64_t> raws(const DecodeResult& r) {
  std::vector<uint64_t> out;
  for (const auto& v : r.values) out.push_back(v.has_raw ? v.raw : UINT64_MAX);
  return out;
}

inline std::string error_of(const Result<DecodeResult>& r) { return r ? std::string("<no error>") : r.error().display(); }

inline constexpr std::string_view kParsePrefix = "csv/table parse error: ";

}  // namespace tarvane::data_test
