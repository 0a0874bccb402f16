// The uncompressed walk: sequences, replication, operators, bitmaps, limits.
#include "test_data_support.hpp"

using namespace tarvane;
using namespace tarvane::data_test;

namespace {

constexpr uint32_t A = 1001, B = 1002, C = 1003, D = 1004, E = 1005;

BitWriter bytes_of(std::initializer_list<uint64_t> v, unsigned width = 8) {
  BitWriter w;
  for (uint64_t x : v) w.put(x, width);
  return w;
}

}  // namespace

TEST(Uncompressed, ZeroSubsetsReadNothing) {
  TableSet t = basic_tables();
  BitWriter empty;
  auto r = decode(t, {A, 12101}, empty, 0);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_TRUE(r->values.empty());
}

TEST(Uncompressed, SequencesAndReplicationOrder) {
  TableSet t = basic_tables();
  t.insert_element(numeric(4001, "YEAR", 12));
  t.insert_element(numeric(4002, "MONTH", 4));
  t.insert_element(numeric(4003, "DAY", 6));
  t.insert_sequence({301011, {4001, 4002, 4003}});
  struct Case {
    std::vector<uint32_t> descriptors;
    BitWriter data;
    std::vector<uint32_t> codes;
    std::vector<uint64_t> raws;
  };
  BitWriter date;
  date.put(2024, 12).put(3, 4).put(21, 6);
  BitWriter one_then_seven;
  one_then_seven.put(1, 1).put(7, 8);
  const std::vector<Case> cases = {
      {{301011}, date, {4001, 4002, 4003}, {2024, 3, 21}},
      {{103002, A, B, C}, bytes_of({1, 2, 3, 4, 5, 6}), {A, B, C, A, B, C}, {1, 2, 3, 4, 5, 6}},
      {{102002, 101003, A, B},
       bytes_of({1, 2, 3, 4, 5, 6, 7}),
       {A, A, A, A, A, A, B},
       {1, 2, 3, 4, 5, 6, 7}},
      {{102000, 31001, A, B, C}, bytes_of({0, 9}), {31001, C}, {0, 9}},
      {{102000, 31001, A, B}, bytes_of({3, 1, 2, 3, 4, 5, 6}), {31001, A, B, A, B, A, B}, {3, 1, 2, 3, 4, 5, 6}},
      // A 1-bit factor of all ones is 1, not missing: class 31.
      {{101000, 31000, A}, one_then_seven, {31000, A}, {1, 7}},
  };
  for (const auto& c : cases) {
    auto r = decode(t, c.descriptors, c.data);
    ASSERT_TRUE(r) << error_of(r);
    EXPECT_EQ(codes(*r), c.codes) << c.descriptors[0];
    EXPECT_EQ(raws(*r), c.raws) << c.descriptors[0];
  }
}

TEST(Uncompressed, StructuralErrors) {
  TableSet t = basic_tables();
  t.insert_sequence({301001, {400000}});
  t.insert_sequence({301002, {A, 302999}});
  struct Case {
    std::vector<uint32_t> descriptors;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{A, 100000, A}, "unsupported replication descriptor 100000"},
      {{102003, A}, "unsupported replication descriptor 102003"},
      {{102000, 31001, A}, "delayed replication descriptor 102000 is missing its replication factor or replicated "
                           "descriptors"},
      {{101000, 12345, A}, "descriptor 012345 was not found in Table B"},
      {{12345}, "descriptor 012345 was not found in Table B"},
      {{301002}, "descriptor 302999 was not found in Table D"},
      {{301001}, "csv/table parse error: invalid descriptor 400000"},
      {{A, B, C}, "csv/table parse error: not enough bits while reading section 4 at bit 16 for width 8 (16 bits "
                  "available)"},
  };
  for (const auto& c : cases) {
    auto r = decode(t, c.descriptors, bytes_of({1, 1}));
    EXPECT_EQ(error_of(r), c.error);
  }
}

TEST(Uncompressed, RecursionLimitIsSixtyFourLevels) {
  for (uint32_t levels : {64u, 65u}) {
    TableSet t = basic_tables();
    for (uint32_t k = 0; k < levels; ++k) {
      uint32_t next = k + 1 < levels ? 340000 + k + 1 : A;
      t.insert_sequence({340000 + k, {next}});
    }
    auto r = decode(t, {340000}, bytes_of({42}));
    if (levels == 64) {
      ASSERT_TRUE(r) << error_of(r);
      EXPECT_EQ(raws(*r), std::vector<uint64_t>{42});
    } else {
      EXPECT_EQ(error_of(r), "csv/table parse error: descriptor decode exceeded recursion depth");
    }
  }
}

TEST(Uncompressed, AssociatedFieldsAndLocalWidth) {
  TableSet t = basic_tables();
  BitWriter w;
  w.put(5, 6);               // 0 31 021, no associated field
  w.put(9, 4).put(200, 8);   // field, then A
  w.put(3, 4).put(7, 8);     // field, then B
  w.put(11, 8);              // C after 2 04 000
  w.put(1000, 10).put(513, 16);  // 2 06 010 then a 16-bit element at its own width
  t.insert_element(numeric(7001, "HEIGHT", 16));
  auto r = decode(t, {204004, 31021, A, B, 204000, C, 206010, 7001, 7001}, w);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{31021, 999999, A, 999999, B, C, 7001, 7001}));
  EXPECT_EQ(raws(*r), (std::vector<uint64_t>{5, 9, 200, 3, 7, 11, 1000, 513}));
  EXPECT_EQ(r->values[1].name, "associatedField");
}

TEST(Uncompressed, BitmapDesignatesElementsOfTheHistory) {
  TableSet t = basic_tables();
  BitWriter w;
  for (uint64_t v : {10, 20, 30, 40, 50}) w.put(v, 8);
  for (uint64_t v : {1, 0, 1, 1, 0}) w.put(v, 1);
  w.put(77, 8).put(88, 8);
  auto r = decode(t, {A, B, C, D, E, 222000, 236000, 101005, 31031, 223000, 223255, 223255, 223255}, w);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{A, B, C, D, E, 222000, 236000, 31031, 31031, 31031, 31031, 31031,
                                              223000, B, E}));
  EXPECT_EQ(r->values[5].name, "operator");
  EXPECT_EQ(r->values[5].value, 0.0);
  EXPECT_EQ(r->values[5].raw, 0u);
  EXPECT_EQ(r->values[13].name, "B");
  EXPECT_EQ(r->values[13].raw, 77u);
  EXPECT_EQ(r->values[14].raw, 88u);  // a third value would run past the data
}

TEST(Uncompressed, BitmapCoversTheLastElementsBeforeItsStart) {
  TableSet t = basic_tables();
  // Five elements, a bitmap of three: it lies over C, D and E.
  BitWriter w;
  for (uint64_t v : {1, 2, 3, 4, 5}) w.put(v, 8);
  w.put(0, 1).put(1, 1).put(0, 1);
  w.put(33, 8).put(55, 8);
  auto r = decode(t, {A, B, C, D, E, 236000, 101003, 31031, 223255, 223255}, w);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{A, B, C, D, E, 236000, 31031, 31031, 31031, C, E}));
  EXPECT_EQ(r->values[9].raw, 33u);
  EXPECT_EQ(r->values[10].raw, 55u);
}

TEST(Uncompressed, BitmapReuseCancelAndDifferenceStatistics) {
  TableSet t = basic_tables();
  t.insert_element(numeric(12001, "T12", 12));
  // Two elements and a bitmap 0 0: one value each at the element's widths;
  // after 2 37 000 the same bitmap again through 2 25 255, one bit wider
  // with reference -2^width.
  BitWriter w;
  w.put(100, 12).put(5, 8).put(0, 1).put(0, 1).put(1234, 12).put(9, 8).put(4096 - 3, 13).put(0, 9);
  auto r = decode(t, {12001, A, 236000, 101002, 31031, 224255, 224255, 237000, 225255, 225255}, w);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{12001, A, 236000, 31031, 31031, 12001, A, 237000, 12001, A}));
  EXPECT_EQ(r->values[5].raw, 1234u);
  EXPECT_EQ(r->values[8].raw, 4093u);
  EXPECT_EQ(r->values[8].value, -3.0);
  EXPECT_EQ(r->values[9].value, -256.0);

  // 2 35 000 cancels: a marker after it reads nothing.
  BitWriter w3;
  w3.put(1, 8).put(0, 1);
  auto r3 = decode(t, {A, 236000, 101001, 31031, 235000, 223255}, w3);
  ASSERT_TRUE(r3) << error_of(r3);
  EXPECT_EQ(codes(*r3), (std::vector<uint32_t>{A, 236000, 31031, 235000}));
}

TEST(Uncompressed, MarkersWithoutOrOutsideTheBitmap) {
  TableSet t = basic_tables();
  // No bitmap: nothing read, nothing recorded.
  auto none = decode(t, {A, 223255, 232255}, bytes_of({4}));
  ASSERT_TRUE(none) << error_of(none);
  EXPECT_EQ(codes(*none), std::vector<uint32_t>{A});

  // 2 36 000 first: the history is empty when the marker looks.
  auto outside = decode(t, {236000, 101001, 31031, 223255}, bytes_of({0}, 1));
  EXPECT_EQ(error_of(outside), "csv/table parse error: bitmap reference is outside descriptor history");

  // With a delayed factor, the factor itself stands in the history.
  BitWriter w2;
  w2.put(1, 16).put(0, 1).put(500, 16);
  auto factor = decode(t, {236000, 101000, 31002, 31031, 223255}, w2);
  ASSERT_TRUE(factor) << error_of(factor);
  EXPECT_EQ(codes(*factor), (std::vector<uint32_t>{236000, 31002, 31031, 31002}));
  EXPECT_EQ(factor->values.back().raw, 500u);
}

TEST(Uncompressed, TextCounterRunsAcrossSubsets) {
  TableSet t = basic_tables();
  BitWriter w;
  w.text("STATION1").text("STATION2");
  auto r = decode(t, {1015}, w, 2);
  ASSERT_TRUE(r) << error_of(r);
  ASSERT_EQ(r->values.size(), 2u);
  EXPECT_EQ(r->values[0].value, 1008.0);
  EXPECT_EQ(r->values[1].value, 2008.0);
  EXPECT_EQ(r->raw_text(r->values[1]), "STATION2");
}

TEST(Uncompressed, SubsetsStartFromAFreshState) {
  TableSet t = basic_tables();
  // 2 01 130 at the end of subset 1 must not widen A in subset 2.
  BitWriter w;
  w.put(7, 8).put(9, 8);
  auto r = decode(t, {A, 201130}, w, 2);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(raws(*r), (std::vector<uint64_t>{7, 9}));
}

TEST(Uncompressed, OperatorRecordsFollowTheTable) {
  TableSet t = basic_tables();
  std::vector<uint32_t> recorded = {222000, 223000, 224000, 225000, 232000, 235000, 236000, 237000, 237255,
                                    241001, 242000, 262000, 226000, 230005};
  std::vector<uint32_t> silent = {201129, 202129, 203012, 207000, 208000, 209000, 221005, 222001,
                                  228000, 243000, 261000, 263000, 236001};
  std::vector<uint32_t> all = recorded;
  all.insert(all.end(), silent.begin(), silent.end());
  all.push_back(201000);
  all.push_back(202000);
  BitWriter empty;
  auto r = decode(t, all, empty);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), recorded);
}

TEST(Uncompressed, EndlessWalksAreBoundedByThePayload) {
  TableSet t = basic_tables();
  t.insert_element(numeric(11001, "WIDTH ZERO", 0));
  // A factor of 2^32 - 1 (2 01 144 makes 0 31 002 32 bits wide) over
  // width-0 elements, which read nothing.
  BitWriter w;
  w.ones(32);
  auto big = decode(t, {201144, 102000, 31002, 201000, 11001}, w);
  EXPECT_EQ(error_of(big), "csv/table parse error: descriptor walk exceeds the limit of " +
                               std::to_string(1048576 + 128 * 4) + " steps for a section 4 of 4 bytes");

  // Nested replications of an operator that records nothing.
  t.insert_sequence({340001, {201000}});
  // 1 08 255 repeats the seven replications after it, and so on inward.
  std::vector<uint32_t> nest;
  for (uint32_t k = 8; k >= 1; --k) nest.push_back(100255 + 1000 * k);
  nest.push_back(340001);
  auto walk = decode(t, nest, bytes_of({0}));
  EXPECT_EQ(error_of(walk), "csv/table parse error: descriptor walk exceeds the limit of " +
                                std::to_string(1048576 + 128 * 1) + " steps for a section 4 of 1 bytes");

  // A large output within the bound still decodes: half a million missing
  // values, two descriptor visits each.
  BitWriter million;
  million.put(500000, 24);
  auto ok = decode(t, {201136, 102000, 31002, 201000, 11001}, million);
  ASSERT_TRUE(ok) << error_of(ok);
  EXPECT_EQ(ok->values.size(), 500001u);
  EXPECT_FALSE(ok->values.back().has_value);

  // A width above 64 through 2 01 fails cleanly.
  BitWriter w65;
  w65.put(0, 128);
  EXPECT_EQ(error_of(decode(t, {201185, A}, w65)), "csv/table parse error: cannot read 65 bits into u64");
}

TEST(Uncompressed, FailureLeavesNoPartialResult) {
  TableSet t = basic_tables();
  // Subset 1 decodes, subset 2 runs out of bits: the whole call fails.
  auto r = decode(t, {A, B}, bytes_of({1, 2, 3}), 2);
  EXPECT_EQ(error_of(r), "csv/table parse error: not enough bits while reading section 4 at bit 24 for width 8 (24 "
                         "bits available)");
}

// The element index is kept with the tables: a change through insert_* after
// a decode is seen by the next decode, and a copy indexes its own entries.
TEST(Uncompressed, ElementIndexFollowsTheTables) {
  TableSet t = basic_tables();
  auto before = decode(t, {A, 20003}, bytes_of({7, 0, 0}));
  ASSERT_TRUE(before) << error_of(before);
  EXPECT_EQ(raws(*before), (std::vector<uint64_t>{7, 0}));
  ASSERT_NE(before->values[1].meaning, nullptr);
  EXPECT_EQ(*before->values[1].meaning, "Clear");
  t.insert_element(numeric(A, "A16", 16));
  t.insert_code_table(20003, {{0, "Calm"}});
  TableSet copy = t;
  for (const TableSet* tables : {&t, &copy}) {
    auto after = decode(*tables, {A, 20003}, bytes_of({0, 7, 0, 0}));
    ASSERT_TRUE(after) << error_of(after);
    EXPECT_EQ(raws(*after), (std::vector<uint64_t>{7, 0}));
    EXPECT_EQ(after->values[0].name.data(), tables->find_element(A)->name.data());
    ASSERT_NE(after->values[1].meaning, nullptr);
    EXPECT_EQ(*after->values[1].meaning, "Calm");
  }
}
