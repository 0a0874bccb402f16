#include "message.hpp"

#include <cstring>

#include "../descriptor.hpp"

namespace tarvane {

Result<uint32_t> read_section_length(std::span<const uint8_t> buf, size_t position, uint8_t section) {
  if (position > buf.size() || buf.size() - position < 3) return fail(BufrError::truncated(position, section));
  return (uint32_t{buf[position]} << 16) | (uint32_t{buf[position + 1]} << 8) | buf[position + 2];
}

Result<uint16_t> read_u16(std::span<const uint8_t> buf, size_t position) {
  if (position > buf.size() || buf.size() - position < 2) return fail(BufrError::truncated(position, 0));
  return static_cast<uint16_t>((buf[position] << 8) | buf[position + 1]);
}

namespace {

// Edition 3 gives the year of its century only. 51-99 are 19yy; encoders
// that count years since 1900 (100 for 2000, 121 for 2021) read right by the
// same rule.
uint16_t edition3_year(uint8_t yy) { return static_cast<uint16_t>(yy > 50 ? 1900 + yy : 2000 + yy); }

// Edition 3 section 1: one-octet centre and sub-centre (sub-centre first), no
// international sub-category, no second; 17 octets, all inside the section.
void read_edition3_section1(std::span<const uint8_t> buf, BufrMessage& m) {
  m.master_table_number = buf[11];
  m.originating_subcentre = buf[12];
  m.originating_centre = buf[13];
  m.update_sequence_number = buf[14];
  m.data_category = buf[16];
  m.local_data_subcategory = buf[17];
  m.master_tables_version_number = buf[18];
  m.local_tables_version_number = buf[19];
  m.typical_year = edition3_year(buf[20]);
  m.typical_month = buf[21];
  m.typical_day = buf[22];
  m.typical_hour = buf[23];
  m.typical_minute = buf[24];
}

// Edition 4 section 1 at its fixed offsets; the year was read before the
// later sections, which keeps the order in which faults are reported.
Status read_edition4_section1(std::span<const uint8_t> buf, BufrMessage& m) {
  if (buf.size() < 30) return fail(BufrError::truncated(8, 1));
  m.master_table_number = buf[11];
  TARVANE_TRY(m.originating_centre, read_u16(buf, 12));
  TARVANE_TRY(m.originating_subcentre, read_u16(buf, 14));
  m.update_sequence_number = buf[16];
  m.data_category = buf[18];
  m.international_data_subcategory = buf[19];
  m.local_data_subcategory = buf[20];
  m.master_tables_version_number = buf[21];
  m.local_tables_version_number = buf[22];
  m.typical_month = buf[25];
  m.typical_day = buf[26];
  m.typical_hour = buf[27];
  m.typical_minute = buf[28];
  m.typical_second = buf[29];
  return {};
}

Result<BufrMessage> parse_edition(std::span<const uint8_t> buf, bool edition3_too) {
  const size_t n = buf.size();
  if (n < 8) return fail(BufrError::too_short());
  if (std::memcmp(buf.data(), "BUFR", 4) != 0) return fail(BufrError::missing_marker());
  const uint8_t edition = buf[7];
  if (edition != 4 && !(edition3_too && edition == 3)) return fail(BufrError::unsupported_edition(edition));
  uint64_t declared = (uint64_t{buf[4]} << 16) | (uint64_t{buf[5]} << 8) | buf[6];
  if (declared != n) return fail(BufrError::length_mismatch(declared, n));
  if (n <= 10) return fail(BufrError::truncated(8, 1));

  BufrMessage m;
  TARVANE_TRY(const size_t l1, read_section_length(buf, 8, 1));
  const size_t e1 = 8 + l1;
  if (e1 > n) return fail(BufrError::truncated(8, 1));
  if (edition == 3 && l1 < 17) return fail(BufrError::truncated(8, 1));
  // Section 1 is read at fixed offsets up to 29; a section 1 declaring fewer
  // than its standard 22 octets could end the buffer before them.
  if (n < 18) return fail(BufrError::truncated(8, 1));
  const uint8_t flag = buf[edition == 3 ? 15 : 17];
  if (edition == 4) {
    TARVANE_TRY(m.typical_year, read_u16(buf, 23));
  }

  size_t l2 = 0;
  size_t s3 = e1;
  if (flag != 0) {
    TARVANE_TRY(l2, read_section_length(buf, e1, 2));
    s3 = e1 + l2;
    if (s3 > n) return fail(BufrError::truncated(e1, 2));
  }
  TARVANE_TRY(const size_t l3, read_section_length(buf, s3, 3));
  const size_t s4 = s3 + l3;
  if (s4 > n || l3 < 7) return fail(BufrError::truncated(s3, 3));
  TARVANE_TRY(m.number_of_subsets, read_u16(buf, s3 + 4));
  const uint8_t flags = buf[s3 + 6];
  m.observed_data = (flags & 0x80) != 0;
  m.compressed_data = (flags & 0x40) != 0;
  // Encoders that pad section 3 to an even length leave one odd octet after
  // the last descriptor; it is padding, not half a descriptor.
  const size_t count = (l3 - 7) / 2;
  m.unexpanded_descriptors.reserve(count);
  for (size_t i = 0, p = s3 + 7; i < count; ++i, p += 2)
    m.unexpanded_descriptors.push_back(code_from_section3(buf[p], buf[p + 1]));

  TARVANE_TRY(const size_t l4, read_section_length(buf, s4, 4));
  const size_t e4 = s4 + l4;
  if (e4 > n) return fail(BufrError::truncated(s4, 4));
  if (e4 + 4 > n) return fail(BufrError::truncated(e4, 5));
  if (std::memcmp(buf.data() + e4, "7777", 4) != 0) return fail(BufrError::bad_terminator());
  if (edition == 3) {
    read_edition3_section1(buf, m);
  } else {
    TARVANE_CHECK(read_edition4_section1(buf, m));
  }

  m.total_length = n;
  m.edition = edition;
  m.section1_length = l1;
  m.local_section_present = flag != 0;
  m.section2_length = l2;
  m.section3_length = l3;
  m.section4_length = l4;
  m.section4_data_offset = s4 + 4;
  m.section4_data_length = l4 >= 4 ? l4 - 4 : 0;
  return m;
}

}  // namespace

Result<BufrMessage> parse_message(std::span<const uint8_t> buf) { return parse_edition(buf, false); }

Result<BufrMessage> parse_message_any_edition(std::span<const uint8_t> buf) { return parse_edition(buf, true); }

BufrError oversized_message_error(std::span<const uint8_t> head, uint64_t total_size) {
  // The checks parse_message makes before the length, in its order; no
  // declared length can match.
  if (std::memcmp(head.data(), "BUFR", 4) != 0) return BufrError::missing_marker();
  if (head[7] != 4) return BufrError::unsupported_edition(head[7]);
  uint64_t declared = (uint64_t{head[4]} << 16) | (uint64_t{head[5]} << 8) | head[6];
  return BufrError::length_mismatch(declared, total_size);
}

}  // namespace tarvane
