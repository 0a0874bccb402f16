// The message around section 4: every corpus message written again from its
// parsed header, its own section 2 and its own data is the same bytes.
#include <gtest/gtest.h>
#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "encode/encode.hpp"
#include "fileio.hpp"
#include "encode/reencode.hpp"
#include "message/split.hpp"

using namespace tarvane;

namespace {

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') out.push_back(join_path(dir, e->d_name));
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}


}  // namespace

TEST(AssembleMessage, CorpusMessagesReassembleByteForByte) {
  const std::string root = std::string(TARVANE_TEST_DATA) + "/corpus";
  size_t same = 0;
  std::vector<std::string> local_octets;
  for (const std::string& dir : {root + "/messages", root + "/edition3/messages"}) {
    for (const std::string& path : files_in(dir)) {
      auto data = read_file(path);
      ASSERT_TRUE(data) << path;
      auto pieces = split_messages(*data);
      ASSERT_TRUE(pieces) << path;
      for (auto bytes : *pieces) {
        auto m = parse_message_any_edition(bytes);
        if (!m) continue;
        auto out = assemble_message(*m, local_section_of(*m, bytes), section4_payload(*m, bytes));
        ASSERT_TRUE(out) << path << ": " << out.error().display();
        // Octets past section 1's standard fields are local data the header
        // does not hold (edition 3's padding octet may carry them too):
        // those messages are compared around them.
        const size_t standard = m->edition == 3 ? 17 : 22;
        const size_t ours = (*out)[10];
        ASSERT_TRUE(std::equal(out->begin() + 11, out->begin() + 8 + standard, bytes.begin() + 11)) << path;
        ASSERT_TRUE(std::equal(out->begin() + 8 + ours, out->end(), bytes.begin() + 8 + m->section1_length,
                               bytes.end()))
            << path;
        if (m->section1_length != ours || !std::equal(out->begin(), out->end(), bytes.begin(), bytes.end())) {
          local_octets.push_back(path);
          continue;
        }
        ASSERT_TRUE(std::equal(out->begin(), out->end(), bytes.begin(), bytes.end())) << path;
        ++same;
      }
    }
  }
  EXPECT_GT(same, 200u);
  std::cout << same << " messages reassembled byte for byte; " << local_octets.size()
            << " with local octets in section 1\n";
}

TEST(AssembleMessage, RefusesWhatTheHeaderCannotHold) {
  struct Case {
    const char* name;
    void (*change)(BufrMessage&);
    const char* error;
  };
  const Case cases[] = {
      {"edition", [](BufrMessage& m) { m.edition = 5; }, "unsupported BUFR edition"},
      {"year", [](BufrMessage& m) { m.typical_year = 2051; }, "typical years 1951 to 2050"},
      {"centre", [](BufrMessage& m) { m.originating_centre = 256; }, "centres and sub-centres up to 255"},
      {"code", [](BufrMessage& m) { m.unexpanded_descriptors = {64000}; }, "no section 3 descriptor 064000"},
  };
  for (const Case& c : cases) {
    BufrMessage m;
    m.edition = 3;
    m.typical_year = 2020;
    c.change(m);
    auto out = assemble_message(m, {}, {});
    ASSERT_FALSE(out) << c.name;
    EXPECT_NE(out.error().display().find(c.error), std::string::npos) << c.name << ": " << out.error().display();
  }
}

TEST(AssembleMessage, EditionThreeSectionsAreEven) {
  BufrMessage m;
  m.edition = 3;
  m.typical_year = 1999;
  m.local_section_present = true;
  m.number_of_subsets = 1;
  m.unexpanded_descriptors = {1001};
  const uint8_t local[] = {1, 2, 3};
  const uint8_t data[] = {0xAB};
  auto out = assemble_message(m, local, data);
  ASSERT_TRUE(out);
  auto back = parse_message_any_edition(*out);
  ASSERT_TRUE(back) << back.error().display();
  EXPECT_EQ(back->section1_length, 18u);
  EXPECT_EQ(back->section2_length, 8u);
  EXPECT_EQ(back->section3_length, 10u);
  EXPECT_EQ(back->section4_length, 6u);
  EXPECT_EQ(back->typical_year, 1999);
  EXPECT_EQ(back->unexpanded_descriptors, std::vector<uint32_t>{1001});
}
