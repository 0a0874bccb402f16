#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "message/message.hpp"
#include "message/split.hpp"
#include "message_builder.hpp"

using namespace tarvane;
using testing_support::build_message;
using testing_support::MessageSpec;
using testing_support::put24;

namespace {

std::span<const uint8_t> view(const std::vector<uint8_t>& v) { return {v.data(), v.size()}; }

std::string parse_error(const std::vector<uint8_t>& b) {
  auto r = parse_message(view(b));
  if (r) return "ok";
  return r.error().display();
}

}  // namespace

TEST(ParseMessage, MinimalMessageHasEveryField) {
  auto b = build_message({});
  ASSERT_EQ(b.size(), 47u);
  auto m = parse_message(view(b));
  ASSERT_TRUE(m) << m.error().display();
  EXPECT_EQ(m->total_length, 47u);
  EXPECT_EQ(m->edition, 4);
  EXPECT_EQ(m->section1_length, 22u);
  EXPECT_EQ(m->originating_centre, 98);
  EXPECT_EQ(m->data_category, 2);
  EXPECT_EQ(m->international_data_subcategory, 4);
  EXPECT_EQ(m->master_tables_version_number, 38);
  EXPECT_EQ(m->typical_year, 2022);
  EXPECT_EQ(m->typical_month, 3);
  EXPECT_EQ(m->typical_day, 21);
  EXPECT_EQ(m->typical_hour, 12);
  EXPECT_EQ(m->typical_minute, 30);
  EXPECT_EQ(m->typical_second, 5);
  EXPECT_FALSE(m->local_section_present);
  EXPECT_EQ(m->section2_length, 0u);
  EXPECT_EQ(m->section3_length, 9u);
  EXPECT_EQ(m->number_of_subsets, 1);
  EXPECT_TRUE(m->observed_data);
  EXPECT_FALSE(m->compressed_data);
  EXPECT_EQ(m->unexpanded_descriptors, std::vector<uint32_t>{1001});
  EXPECT_EQ(m->section4_length, 4u);
  EXPECT_EQ(m->section4_data_offset, 43u);
  EXPECT_EQ(m->section4_data_length, 0u);
}

TEST(ParseMessage, DescriptorFormsAndFlags) {
  MessageSpec s;
  s.descriptors = {0xC10B, 0x0001, 0x4100};
  s.flags = 0xC0;
  auto m = parse_message(view(build_message(s)));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->unexpanded_descriptors, (std::vector<uint32_t>{301011, 1, 101000}));
  EXPECT_TRUE(m->observed_data && m->compressed_data);
  s.flags = 0x3F;
  m = parse_message(view(build_message(s)));
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->observed_data || m->compressed_data);
  s.descriptors = {};
  m = parse_message(view(build_message(s)));
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->unexpanded_descriptors.empty());
}

TEST(ParseMessage, OddOctetAfterTheDescriptorsIsPadding) {
  for (uint32_t pad : {1u, 3u}) {
    MessageSpec s;
    s.descriptors = {0xC10B, 0x0101};
    s.section3_padding = pad;
    s.data = {7, 8};
    auto m = parse_message(view(build_message(s)));
    ASSERT_TRUE(m) << m.error().display();
    EXPECT_EQ(m->section3_length, 11u + pad);
    // three spare octets hold one whole (zero) pair before the padding octet
    std::vector<uint32_t> want{301011, 1001};
    if (pad == 3) want.push_back(0);
    EXPECT_EQ(m->unexpanded_descriptors, want);
    EXPECT_EQ(m->section4_data_length, 2u);
  }
}

TEST(ParseMessage, OptionalSectionAnyNonZeroFlag) {
  for (uint8_t flag : {0x01, 0x80}) {
    MessageSpec s;
    s.optional_flag = flag;
    s.section2 = {0, 0, 6, 0, 0xAA, 0xBB};
    s.data = {1, 2, 3};
    auto m = parse_message(view(build_message(s)));
    ASSERT_TRUE(m) << m.error().display();
    EXPECT_TRUE(m->local_section_present);
    EXPECT_EQ(m->section2_length, 6u);
    EXPECT_EQ(m->section4_data_offset, 8u + 22 + 6 + 9 + 4);
    EXPECT_EQ(m->section4_data_length, 3u);
  }
}

TEST(ParseMessage, ShortSection4LengthGivesNoData) {
  auto b = build_message({});
  put24(b, 39, 3);  // section 4 length 3: "7777" then begins at 42
  b.resize(46);
  std::memcpy(b.data() + 42, "7777", 4);
  put24(b, 4, 46);
  auto m = parse_message(view(b));
  ASSERT_TRUE(m) << m.error().display();
  EXPECT_EQ(m->section4_length, 3u);
  EXPECT_EQ(m->section4_data_length, 0u);
}

TEST(ParseMessage, BytesAfterTheTerminatorAreIgnored) {
  auto b = build_message({});
  b.insert(b.end(), {'x', 'y', 'z'});
  put24(b, 4, static_cast<uint32_t>(b.size()));
  EXPECT_EQ(parse_error(b), "ok");
}

struct BadMessage {
  const char* name;
  std::vector<uint8_t> bytes;
  const char* error;
};

std::vector<BadMessage> bad_messages() {
  std::vector<BadMessage> cases;
  auto good = build_message({});
  cases.push_back({"empty", {}, "message is too short to be BUFR"});
  cases.push_back({"seven bytes", {'B', 'U', 'F', 'R', 0, 0, 7}, "message is too short to be BUFR"});
  auto b = good;
  b[0] = 'X';
  cases.push_back({"no marker", b, "missing BUFR marker"});
  b = good;
  b[7] = 3;
  cases.push_back({"edition 3", b, "unsupported BUFR edition 3; only edition 4 is implemented"});
  b = good;
  put24(b, 4, 48);
  b[9] = 0xFF;  // a damaged section 1 is not examined before the length check
  cases.push_back({"declared one more", b, "declared length 48 does not match buffer length 47"});
  std::vector<uint8_t> twenty(20, 0);
  std::memcpy(twenty.data(), "BUFR", 4);
  twenty[7] = 4;
  put24(twenty, 4, 21);
  cases.push_back({"twenty bytes declaring 21", twenty, "declared length 21 does not match buffer length 20"});
  std::vector<uint8_t> ten{'B', 'U', 'F', 'R', 0, 0, 10, 4, 0, 0};
  cases.push_back({"ten bytes", ten, "section 1 at offset 8 is truncated"});
  b = good;
  put24(b, 8, 40);
  cases.push_back({"section 1 past the end", b, "section 1 at offset 8 is truncated"});
  for (size_t n : {18u, 24u}) {
    std::vector<uint8_t> s(n, 0);
    std::memcpy(s.data(), "BUFR", 4);
    s[7] = 4;
    put24(s, 4, static_cast<uint32_t>(n));
    put24(s, 8, 10);
    cases.push_back({"short buffer", s, "section 0 at offset 23 is truncated"});
  }
  std::vector<uint8_t> tiny_s1(14, 0);
  std::memcpy(tiny_s1.data(), "BUFR", 4);
  tiny_s1[7] = 4;
  put24(tiny_s1, 4, 14);
  put24(tiny_s1, 8, 3);
  cases.push_back({"section 1 ends before its flag", tiny_s1, "section 1 at offset 8 is truncated"});
  MessageSpec s2;
  s2.optional_flag = 1;
  s2.section2 = {0, 0, 6, 0, 0, 0};
  b = build_message(s2);
  put24(b, 30, 1000);
  cases.push_back({"section 2 past the end", b, "section 2 at offset 30 is truncated"});
  b = good;
  put24(b, 30, 6);
  cases.push_back({"section 3 shorter than 7", b, "section 3 at offset 30 is truncated"});
  b = good;
  put24(b, 30, 100);
  cases.push_back({"section 3 past the end", b, "section 3 at offset 30 is truncated"});
  b = good;
  put24(b, 39, 100);
  cases.push_back({"section 4 past the end", b, "section 4 at offset 39 is truncated"});
  MessageSpec no_end;
  no_end.terminator = "77";
  cases.push_back({"section 5 cut", build_message(no_end), "section 5 at offset 43 is truncated"});
  MessageSpec bad_end;
  bad_end.terminator = "7778";
  cases.push_back({"bad terminator", build_message(bad_end), "section 5 terminator is not 7777"});
  MessageSpec short_s1;
  short_s1.section1_length = 3;  // the message ends before offset 30
  short_s1.flags = 0;  // offset 17 now falls on section 3's flags
  cases.push_back({"section 1 shorter than its fields", build_message(short_s1), "section 1 at offset 8 is truncated"});
  return cases;
}

TEST(ParseMessage, MalformedBuffersFailWithTheirSpecificError) {
  for (const auto& c : bad_messages()) EXPECT_EQ(parse_error(c.bytes), c.error) << c.name;
}

TEST(ParseMessage, EveryTruncationOfAMessageFailsCleanly) {
  MessageSpec s;
  s.optional_flag = 1;
  s.section2 = {0, 0, 5, 0, 9};
  s.descriptors = {0xC10B, 0x0101, 0x0102};
  s.data = {1, 2, 3, 4, 5};
  auto full = build_message(s);
  ASSERT_EQ(parse_error(full), "ok");
  for (size_t n = 0; n < full.size(); ++n) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
    if (n >= 7) put24(cut, 4, static_cast<uint32_t>(n));
    EXPECT_NE(parse_error(cut), "ok") << n;
  }
}

// ---- splitting ----

namespace {

std::vector<std::pair<size_t, size_t>> split(const std::vector<uint8_t>& b, std::string* error = nullptr) {
  auto r = split_messages(view(b));
  std::vector<std::pair<size_t, size_t>> out;
  if (!r) {
    if (error) *error = r.error().display();
    return out;
  }
  for (auto s : *r) out.emplace_back(static_cast<size_t>(s.data() - b.data()), s.size());
  return out;
}

}  // namespace

TEST(SplitMessages, BackToBackAndWithJunkAround) {
  auto m = build_message({});
  std::vector<uint8_t> two = m;
  two.insert(two.end(), m.begin(), m.end());
  EXPECT_EQ(split(two), (std::vector<std::pair<size_t, size_t>>{{0, 47}, {47, 47}}));
  std::vector<uint8_t> junk(10, 'j');
  std::vector<uint8_t> mixed = junk;
  mixed.insert(mixed.end(), m.begin(), m.end());
  mixed.insert(mixed.end(), junk.begin(), junk.end());
  mixed.insert(mixed.end(), m.begin(), m.end());
  mixed.insert(mixed.end(), junk.begin(), junk.end());
  EXPECT_EQ(split(mixed), (std::vector<std::pair<size_t, size_t>>{{10, 47}, {67, 47}}));
}

TEST(SplitMessages, NothingToFind) {
  EXPECT_TRUE(split({}).empty());
  EXPECT_TRUE(split({'B', 'U', 'F'}).empty());
  std::vector<uint8_t> text{'n', 'o', ' ', 'm', 'e', 's', 's', 'a', 'g', 'e', 's'};
  EXPECT_TRUE(split(text).empty());
}

TEST(SplitMessages, MarkerInsideAMessageIsNotScanned) {
  MessageSpec s;
  s.data = {'B', 'U', 'F', 'R', 0, 0, 200, 4};
  auto b = build_message(s);
  EXPECT_EQ(split(b).size(), 1u);
}

TEST(SplitMessages, ShortLengthsGiveSlicesThatParsingRejects) {
  std::vector<uint8_t> b{'B', 'U', 'F', 'R', 0, 0, 3, 4, 'x', 'y'};
  auto r = split(b);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], (std::pair<size_t, size_t>{0, 3}));
}

TEST(SplitMessages, Failures) {
  struct Case {
    std::vector<uint8_t> bytes;
    const char* error;
  };
  std::vector<uint8_t> trailing_marker = build_message({});
  trailing_marker.insert(trailing_marker.end(), {'B', 'U', 'F', 'R', 0, 0, 9});
  std::vector<Case> cases{
      {trailing_marker, "message is too short to be BUFR"},
      {{'B', 'U', 'F', 'R', 0, 0, 0, 4, 1, 2, 3}, "message is too short to be BUFR"},
  };
  for (size_t extra : {1u, 50u, 92u}) {
    std::vector<uint8_t> b{'B', 'U', 'F', 'R', 0, 0, 100};
    b.resize(7 + extra, 0);
    cases.push_back({b, "section 0 at offset 0 is truncated"});
    std::vector<uint8_t> shifted(5, 'z');
    shifted.insert(shifted.end(), b.begin(), b.end());
    cases.push_back({shifted, "section 0 at offset 5 is truncated"});
  }
  // A sound message does not save a later marker that runs past the end.
  auto m = build_message({});
  m.insert(m.end(), {'B', 'U', 'F', 'R', 0, 1, 0, 4, 0});
  cases.push_back({m, "section 0 at offset 47 is truncated"});
  for (const auto& c : cases) {
    std::string error;
    EXPECT_TRUE(split(c.bytes, &error).empty());
    EXPECT_EQ(error, c.error);
    // The first message alone is framed the same way: a later failure fails.
    auto first = first_message_slice(view(c.bytes));
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().display(), c.error);
  }
}

TEST(SplitMessages, FirstMessageSliceIsTheFirstPiece) {
  auto m = build_message({});
  std::vector<uint8_t> junk{'j', 'j', 'j'};
  std::vector<uint8_t> b = junk;
  for (int i = 0; i < 3; ++i) b.insert(b.end(), m.begin(), m.end());
  auto first = first_message_slice(view(b));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data(), b.data() + 3);
  EXPECT_EQ(first->size(), 47u);
  auto none = first_message_slice(view(junk));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(ParseMessage, OversizedBufferErrorMatchesTheWholeParse) {
  // A buffer one byte past the largest declarable length fails as parsing it
  // whole would, from its first 8 bytes.
  auto m = build_message({});
  for (auto [at, byte] : {std::pair<size_t, uint8_t>{4, 0}, {0, 'X'}, {7, 3}}) {
    std::vector<uint8_t> big(kMaxMessageLength + 1, 0);
    std::copy(m.begin(), m.end(), big.begin());
    big[at] = byte;
    EXPECT_EQ(oversized_message_error(view(big).first(8), big.size()).display(), parse_error(big));
  }
}

namespace {

std::vector<uint8_t> read_all(const std::string& path) {
  std::vector<uint8_t> out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + got);
    std::fclose(f);
  }
  return out;
}

const std::string kEdition3 = std::string(TARVANE_TEST_DATA) + "/corpus/edition3/messages/";

}  // namespace

TEST(ParseMessageAnyEdition, Edition3HeaderAsTheReferenceReadsIt) {
  // centre, sub-centre, update, section 2, category, local sub-category,
  // master, local, year, month, day, hour, minute, subsets, compressed,
  // section 1 length: as ecCodes' bufr_ls reports them.
  struct Row {
    const char* file;
    int centre, subcentre, update, s2, category, subcategory, master, local, year, month, day, hour, minute, subsets;
    bool compressed;
    size_t s1;
  };
  const Row rows[] = {
      {"earthkit-data__docs_examples_synop_10.bufr", 98, 0, 1, 1, 0, 1, 13, 1, 2023, 6, 2, 12, 0, 1, false, 18},
      {"pybufrkit__tests_benchmark_data_airs_57.bufr", 98, 0, 0, 1, 3, 57, 13, 1, 2012, 10, 31, 0, 0, 15, true, 18},
      {"pybufrkit__tests_benchmark_data_IUSD40_OKLI.bufr", 89, 0, 0, 0, 2, 0, 12, 0, 2007, 11, 20, 18, 0, 1, false, 18},
  };
  for (const Row& r : rows) {
    auto data = read_all(kEdition3 + r.file);
    ASSERT_FALSE(data.empty()) << r.file;
    auto pieces = split_messages(view(data));
    ASSERT_TRUE(pieces && !pieces->empty()) << r.file;
    auto m = parse_message_any_edition((*pieces)[0]);
    ASSERT_TRUE(m) << r.file << ": " << m.error().display();
    EXPECT_EQ(m->edition, 3);
    std::vector<int> got{m->originating_centre, m->originating_subcentre, m->update_sequence_number,
                         m->local_section_present, m->data_category, m->local_data_subcategory,
                         m->master_tables_version_number, m->local_tables_version_number, m->typical_year,
                         m->typical_month, m->typical_day, m->typical_hour, m->typical_minute, m->number_of_subsets};
    std::vector<int> want{r.centre, r.subcentre, r.update, r.s2, r.category, r.subcategory, r.master,
                          r.local, r.year, r.month, r.day, r.hour, r.minute, r.subsets};
    EXPECT_EQ(got, want) << r.file;
    EXPECT_EQ(m->compressed_data, r.compressed) << r.file;
    EXPECT_EQ(m->section1_length, r.s1) << r.file;
    EXPECT_EQ(m->international_data_subcategory + m->typical_second, 0) << r.file;
    EXPECT_EQ(parse_error(std::vector<uint8_t>((*pieces)[0].begin(), (*pieces)[0].end())),
              "unsupported BUFR edition 3; only edition 4 is implemented");
  }
}

TEST(ParseMessageAnyEdition, EveryCorpusEdition3MessageFrames) {
  std::vector<std::string> names;
  if (DIR* d = opendir(kEdition3.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  ASSERT_EQ(names.size(), 118u);
  size_t messages = 0;
  for (const auto& name : names) {
    auto data = read_all(kEdition3 + name);
    auto pieces = split_messages(view(data));
    ASSERT_TRUE(pieces) << name;
    for (auto piece : *pieces) {
      auto m = parse_message_any_edition(piece);
      ASSERT_TRUE(m) << name << ": " << m.error().display();
      EXPECT_EQ(m->edition, 3);
      EXPECT_EQ(m->section4_data_offset + m->section4_data_length + 4, piece.size()) << name;
      ++messages;
    }
  }
  EXPECT_EQ(messages, 147u);
}

TEST(ParseMessageAnyEdition, YearOfCenturyAndShortSection1) {
  MessageSpec s;
  s.edition = 3;
  s.section1_length = 18;
  auto b = build_message(s);
  const std::pair<uint8_t, int> years[] = {{79, 1979}, {51, 1951}, {50, 2050}, {21, 2021}, {0, 2000},
                                           {100, 2000}, {121, 2021}};
  for (auto [yy, year] : years) {
    b[8 + 12] = yy;
    auto m = parse_message_any_edition(view(b));
    ASSERT_TRUE(m) << m.error().display();
    EXPECT_EQ(m->typical_year, year) << int{yy};
  }
  for (uint32_t len : {16u, 3u}) {
    s.section1_length = len;
    auto r = parse_message_any_edition(view(build_message(s)));
    ASSERT_FALSE(r) << len;
    EXPECT_EQ(r.error().display(), "section 1 at offset 8 is truncated") << len;
  }
  s.section1_length = 18;
  s.edition = 2;
  auto r = parse_message_any_edition(view(build_message(s)));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "unsupported BUFR edition 2; only edition 4 is implemented");
}
