// One BUFR message (edition 4, or 3 where asked for): framing checks of
// sections 0 to 5, the header fields of sections 1 and 3, and where the
// section 4 data lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../error.hpp"

namespace tarvane {

struct BufrMessage {
  size_t total_length = 0;
  uint8_t edition = 0;
  size_t section1_length = 0;
  uint8_t master_table_number = 0;
  uint16_t originating_centre = 0;
  uint16_t originating_subcentre = 0;
  uint8_t update_sequence_number = 0;
  bool local_section_present = false;
  uint8_t data_category = 0;
  uint8_t international_data_subcategory = 0;
  uint8_t local_data_subcategory = 0;
  uint8_t master_tables_version_number = 0;
  uint8_t local_tables_version_number = 0;
  uint16_t typical_year = 0;
  uint8_t typical_month = 0;
  uint8_t typical_day = 0;
  uint8_t typical_hour = 0;
  uint8_t typical_minute = 0;
  uint8_t typical_second = 0;
  size_t section2_length = 0;
  size_t section3_length = 0;
  uint16_t number_of_subsets = 0;
  bool observed_data = false;
  bool compressed_data = false;
  std::vector<uint32_t> unexpanded_descriptors;
  size_t section4_length = 0;
  size_t section4_data_offset = 0;
  size_t section4_data_length = 0;
};

// The buffer must be exactly one edition-4 message.
[[nodiscard]] Result<BufrMessage> parse_message(std::span<const uint8_t> buffer);

// The same for an edition-3 or edition-4 message. Edition 3 has no
// international data sub-category and no second: both are 0.
[[nodiscard]] Result<BufrMessage> parse_message_any_edition(std::span<const uint8_t> buffer);

// The largest total length section 0 can declare (24 bits).
inline constexpr uint64_t kMaxMessageLength = (uint64_t{1} << 24) - 1;

// What parse_message reports for a buffer of total_size bytes, larger than
// kMaxMessageLength, that begins with head: known from section 0 alone, so
// the rest need not be read. head holds at least 8 bytes.
BufrError oversized_message_error(std::span<const uint8_t> head, uint64_t total_size);

// The 3-byte big-endian length at position.
[[nodiscard]] Result<uint32_t> read_section_length(std::span<const uint8_t> buffer, size_t position, uint8_t section);

// The 2-byte big-endian number at position; always reports section 0.
[[nodiscard]] Result<uint16_t> read_u16(std::span<const uint8_t> buffer, size_t position);

// The section 4 data bytes of a parsed message cut from its buffer.
inline std::span<const uint8_t> section4_payload(const BufrMessage& m, std::span<const uint8_t> buffer) {
  return buffer.subspan(m.section4_data_offset, m.section4_data_length);
}

}  // namespace tarvane
