// Builds edition-4 messages for the framing tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvane::testing_support {

struct MessageSpec {
  uint8_t edition = 4;
  uint32_t section1_length = 22;
  uint8_t optional_flag = 0;
  std::vector<uint8_t> section2;          // whole section 2, length included, when the flag is set
  uint16_t subsets = 1;
  uint8_t flags = 0x80;
  std::vector<uint16_t> descriptors{0x0101};
  uint32_t section3_padding = 0;          // extra bytes after the descriptors
  std::vector<uint8_t> data;              // section 4 data bytes
  std::string terminator = "7777";
};

inline void put24(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 16);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
  b[at + 2] = static_cast<uint8_t>(v);
}

inline std::vector<uint8_t> build_message(const MessageSpec& s) {
  std::vector<uint8_t> b{'B', 'U', 'F', 'R', 0, 0, 0, s.edition};
  std::vector<uint8_t> s1(s.section1_length, 0);
  put24(s1, 0, s.section1_length);
  if (s.section1_length > 9) {
    s1[3] = 0;                    // master table
    s1[4] = 0, s1[5] = 98;        // centre
    s1[9] = s.optional_flag;
    s1[10] = 2, s1[11] = 4, s1[12] = 0;
    s1[13] = 38, s1[14] = 0;      // table versions
    if (s.section1_length > 16) s1[15] = 0x07, s1[16] = 0xE6; // 2022
    if (s.section1_length > 21) s1[17] = 3, s1[18] = 21, s1[19] = 12, s1[20] = 30, s1[21] = 5;
  }
  b.insert(b.end(), s1.begin(), s1.end());
  if (s.optional_flag) b.insert(b.end(), s.section2.begin(), s.section2.end());
  uint32_t l3 = 7 + 2 * static_cast<uint32_t>(s.descriptors.size()) + s.section3_padding;
  std::vector<uint8_t> s3(l3, 0);
  put24(s3, 0, l3);
  s3[4] = static_cast<uint8_t>(s.subsets >> 8), s3[5] = static_cast<uint8_t>(s.subsets);
  s3[6] = s.flags;
  for (size_t k = 0; k < s.descriptors.size(); ++k) {
    s3[7 + 2 * k] = static_cast<uint8_t>(s.descriptors[k] >> 8);
    s3[8 + 2 * k] = static_cast<uint8_t>(s.descriptors[k]);
  }
  b.insert(b.end(), s3.begin(), s3.end());
  std::vector<uint8_t> s4(4, 0);
  put24(s4, 0, static_cast<uint32_t>(4 + s.data.size()));
  s4.insert(s4.end(), s.data.begin(), s.data.end());
  b.insert(b.end(), s4.begin(), s4.end());
  b.insert(b.end(), s.terminator.begin(), s.terminator.end());
  put24(b, 4, static_cast<uint32_t>(b.size()));
  return b;
}

}  // namespace tarvane::testing_support
