// Sections 0 to 5 around section 4's data, written exactly where
// parse_message reads each field.
#include <string>

#include "../descriptor.hpp"
#include "encode.hpp"

namespace tarvane {

namespace {

struct ByteWriter {
  std::vector<uint8_t>& out;
  void u8(uint64_t v) { out.push_back(static_cast<uint8_t>(v)); }
  void u16(uint64_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u24(uint64_t v) {
    u8(v >> 16);
    u16(v);
  }
  // Rewrites the 3-byte length of the section begun at start, padding it
  // first to an even length where asked (edition 3).
  void close_section(size_t start, bool even) {
    if (even && (out.size() - start) % 2 != 0) u8(0);
    const size_t length = out.size() - start;
    out[start] = static_cast<uint8_t>(length >> 16);
    out[start + 1] = static_cast<uint8_t>(length >> 8);
    out[start + 2] = static_cast<uint8_t>(length);
  }
};

BufrError header_error(const std::string& what) { return BufrError::parse("cannot write the header: " + what); }

// Edition 3 holds the year of its century, read back as 1951 to 2050, and
// one-octet centres.
Status check_header(const BufrMessage& h) {
  if (h.edition != 3 && h.edition != 4) return fail(BufrError::unsupported_edition(h.edition));
  if (h.edition == 3) {
    if (h.typical_year < 1951 || h.typical_year > 2050)
      return fail(header_error("edition 3 holds typical years 1951 to 2050, not " + std::to_string(h.typical_year)));
    if (h.originating_centre > 255 || h.originating_subcentre > 255)
      return fail(header_error("edition 3 holds originating centres and sub-centres up to 255"));
  }
  for (uint32_t code : h.unexpanded_descriptors) {
    const auto [f, x, y] = split_code(code);
    if (f > 3 || x > 63 || y > 255) return fail(header_error("no section 3 descriptor " + code_text(code)));
  }
  return {};
}

void write_section1(ByteWriter& w, const BufrMessage& h) {
  const size_t start = w.out.size();
  w.u24(0);
  w.u8(h.master_table_number);
  if (h.edition == 3) {
    w.u8(h.originating_subcentre);
    w.u8(h.originating_centre);
    w.u8(h.update_sequence_number);
    w.u8(h.local_section_present ? 0x80 : 0);
    w.u8(h.data_category);
    w.u8(h.local_data_subcategory);
    w.u8(h.master_tables_version_number);
    w.u8(h.local_tables_version_number);
    w.u8(h.typical_year % 100);
  } else {
    w.u16(h.originating_centre);
    w.u16(h.originating_subcentre);
    w.u8(h.update_sequence_number);
    w.u8(h.local_section_present ? 0x80 : 0);
    w.u8(h.data_category);
    w.u8(h.international_data_subcategory);
    w.u8(h.local_data_subcategory);
    w.u8(h.master_tables_version_number);
    w.u8(h.local_tables_version_number);
    w.u16(h.typical_year);
  }
  w.u8(h.typical_month);
  w.u8(h.typical_day);
  w.u8(h.typical_hour);
  w.u8(h.typical_minute);
  if (h.edition == 4) w.u8(h.typical_second);
  w.close_section(start, h.edition == 3);
}

// Section 3 keeps a source message's padding octet, which some encoders
// write in edition 4 too.
void write_section3(ByteWriter& w, const BufrMessage& h) {
  const size_t start = w.out.size();
  w.u24(0);
  w.u8(0);
  w.u16(h.number_of_subsets);
  w.u8((h.observed_data ? 0x80 : 0) | (h.compressed_data ? 0x40 : 0));
  for (uint32_t code : h.unexpanded_descriptors) {
    const auto [f, x, y] = split_code(code);
    w.u8((f << 6) | x);
    w.u8(y);
  }
  if (h.section3_length == w.out.size() - start + 1) w.u8(0);
  w.close_section(start, h.edition == 3);
}

}  // namespace

Result<std::vector<uint8_t>> assemble_message(const BufrMessage& header, std::span<const uint8_t> local_section,
                                              std::span<const uint8_t> data) {
  TARVANE_CHECK(check_header(header));
  std::vector<uint8_t> out;
  out.reserve(64 + local_section.size() + header.unexpanded_descriptors.size() * 2 + data.size());
  ByteWriter w{out};
  out.insert(out.end(), {'B', 'U', 'F', 'R', 0, 0, 0, header.edition});
  write_section1(w, header);
  if (header.local_section_present) {
    const size_t start = out.size();
    w.u24(0);
    w.u8(0);
    out.insert(out.end(), local_section.begin(), local_section.end());
    w.close_section(start, header.edition == 3);
  }
  write_section3(w, header);
  const size_t s4 = out.size();
  w.u24(0);
  w.u8(0);
  out.insert(out.end(), data.begin(), data.end());
  w.close_section(s4, header.edition == 3);
  out.insert(out.end(), {'7', '7', '7', '7'});
  if (out.size() > kMaxMessageLength)
    return fail(BufrError::parse("cannot write a message of " + std::to_string(out.size()) +
                                 " bytes; section 0 holds lengths up to " + std::to_string(kMaxMessageLength)));
  out[4] = static_cast<uint8_t>(out.size() >> 16);
  out[5] = static_cast<uint8_t>(out.size() >> 8);
  out[6] = static_cast<uint8_t>(out.size());
  return out;
}

Result<std::vector<uint8_t>> assemble_template_message(const BufrMessage& header, std::span<const uint32_t> descriptors,
                                                       size_t subsets, std::span<const uint8_t> data) {
  BufrMessage out = header;
  out.unexpanded_descriptors.assign(descriptors.begin(), descriptors.end());
  out.number_of_subsets = static_cast<uint16_t>(subsets);
  out.local_section_present = false;
  out.section3_length = 0;
  return assemble_message(out, {}, data);
}

}  // namespace tarvane
