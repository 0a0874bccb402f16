// Operators that read data of their own: 2 05 YYY (inserted characters) and
// 2 03 YYY (new reference values), uncompressed and compressed.
#include "data/element.hpp"
#include "test_data_support.hpp"

using namespace tarvane;
using namespace tarvane::data_test;

namespace {

constexpr uint32_t A = 1001, B = 1002;
// 12 bits, scale 0, reference -100; Y: 8 bits, scale 1, reference 0.
constexpr uint32_t X = 10001, Y = 10002;

TableSet operator_tables() {
  TableSet t = basic_tables();
  t.insert_element(numeric(X, "X", 12, 0, -100));
  t.insert_element(numeric(Y, "Y", 8, 1, 0));
  t.insert_sequence({301001, {203008, X, 203255}});
  return t;
}

std::vector<std::optional<std::string>> texts_of(const DecodeResult& r) {
  std::vector<std::optional<std::string>> out;
  for (const auto& v : r.values) {
    auto s = r.raw_text(v);
    out.push_back(s ? std::optional<std::string>(std::string(*s)) : std::nullopt);
  }
  return out;
}

std::vector<std::optional<double>> values_of(const DecodeResult& r) {
  std::vector<std::optional<double>> out;
  for (const auto& v : r.values) out.push_back(v.has_value ? std::optional<double>(v.value) : std::nullopt);
  return out;
}

using Texts = std::vector<std::optional<std::string>>;
using Values = std::vector<std::optional<double>>;
constexpr std::nullopt_t none = std::nullopt;

}  // namespace

TEST(SignifiedCharacters, UncompressedRecordsAndPlace) {
  TableSet t = operator_tables();
  struct Case {
    std::string what;
    std::vector<uint32_t> descriptors;
    BitWriter data;
    std::vector<uint32_t> codes;
    Texts texts;
    Values values;
  };
  BitWriter plain;
  plain.put(1, 8).text("XYZ").put(2, 8);
  BitWriter all_ff;
  all_ff.put(1, 8).ones(16).put(2, 8);
  BitWriter with_text;
  with_text.text("AB ").text("STATION1");
  BitWriter with_field;
  with_field.put(3, 2).put(1, 8).text("Q").put(0, 2).put(2, 8);
  const std::vector<Case> cases = {
      {"the following value is read after the characters", {A, 205003, B}, plain, {A, 205003, B},
       {none, "XYZ", none}, {1.0, none, 2.0}},
      {"all 0xFF: absent text", {A, 205002, B}, all_ff, {A, 205002, B}, {none, none, none}, {1.0, none, 2.0}},
      {"no text number taken", {205003, 1015}, with_text, {205003, 1015}, {"AB", "STATION1"}, {none, 1008.0}},
      {"no associated field before the characters", {204002, A, 205001, B}, with_field, {999999, A, 205001, 999999, B},
       {none, none, "Q", none, none}, {3.0, 1.0, none, 0.0, 2.0}},
      {"2 05 000 reads nothing", {205000, A}, BitWriter().put(9, 8), {205000, A}, {none, none}, {none, 9.0}},
  };
  for (const auto& c : cases) {
    auto r = decode(t, c.descriptors, c.data);
    ASSERT_TRUE(r) << c.what << ": " << error_of(r);
    EXPECT_EQ(codes(*r), c.codes) << c.what;
    EXPECT_EQ(texts_of(*r), c.texts) << c.what;
    EXPECT_EQ(values_of(*r), c.values) << c.what;
    for (const auto& v : r->values) {
      if (v.descriptor / 1000 != 205) continue;
      EXPECT_EQ(v.name, "characters") << c.what;
      EXPECT_FALSE(v.has_raw) << c.what;
      EXPECT_EQ(v.meaning, nullptr) << c.what;
    }
  }
  // Short data fail like any read; the characters are not in the history.
  EXPECT_EQ(error_of(decode(t, {205004}, BitWriter().text("ABC"))),
            "csv/table parse error: not enough bits while reading section 4 at bit 24 for width 8 (24 bits "
            "available)");
  BitWriter bitmap;
  bitmap.put(5, 8).text("C").put(0, 1).put(77, 8);
  auto r = decode(t, {A, 205001, 236000, 101001, 31031, 223255}, bitmap);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{A, 205001, 236000, 31031, A}));
  EXPECT_EQ(r->values.back().raw, 77u);
}

TEST(SignifiedCharacters, CompressedColumns) {
  TableSet t = operator_tables();
  BitWriter w;
  w.text("HI").put(0, 6);                                   // common text
  w.text("ZZZ").put(3, 6).text("ONE").text("TWO").ones(24);  // own texts
  w.text("STATION1").put(0, 6);                             // 1015 is the first character column
  auto r = decode(t, {205002, 205003, 1015}, w, 3, true);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{205002, 205003, 1015, 205002, 205003, 1015, 205002, 205003, 1015}));
  EXPECT_EQ(texts_of(*r), (Texts{"HI", "ONE", "STATION1", "HI", "TWO", "STATION1", "HI", none, "STATION1"}));
  EXPECT_EQ(values_of(*r), (Values{none, none, 1008.0, none, none, 2008.0, none, none, 3008.0}));
  EXPECT_EQ(r->values[1].name, "characters");
  EXPECT_FALSE(r->values[1].has_raw);

  // The increments run short: the whole call fails.
  BitWriter short_data;
  short_data.text("AB").put(2, 6).text("CD");
  EXPECT_EQ(error_of(decode(t, {205002}, short_data, 2, true)),
            "csv/table parse error: not enough bits while reading section 4 at bit 38 for width 8 (40 bits "
            "available)");
}

TEST(SignedReference, SignBitAndMagnitude) {
  struct Case {
    uint64_t raw;
    uint32_t width;
    int64_t value;
  };
  const std::vector<Case> cases = {
      {0b10000101, 8, -5}, {0x7F, 8, 127}, {0x80, 8, 0}, {0, 1, 0}, {1, 1, 0},
      {(uint64_t{1} << 63) | 3, 64, -3}, {INT64_MAX, 64, INT64_MAX}, {(uint64_t{1} << 14) - 1, 14, -8191},
  };
  for (const auto& c : cases) EXPECT_EQ(signed_reference(c.raw, c.width), c.value) << c.raw << "/" << c.width;
}

TEST(ApplyOperator, ChangeOfReferenceValues) {
  ValueCodingState s;
  apply_operator(203012, s);
  EXPECT_EQ(s.reference_definition_width, 12);
  set_new_reference(s, X, -5);
  set_new_reference(s, Y, 3);
  set_new_reference(s, X, 7);  // a later definition replaces the earlier
  ASSERT_EQ(s.new_references.size(), 2u);
  apply_operator(203255, s);
  EXPECT_EQ(s.reference_definition_width, 0);
  ASSERT_NE(find_new_reference(s, X), nullptr);
  EXPECT_EQ(*find_new_reference(s, X), 7);
  EXPECT_EQ(find_new_reference(s, A), nullptr);
  apply_operator(203010, s);
  apply_operator(203000, s);  // cancels everything, an open definition too
  EXPECT_EQ(s.reference_definition_width, 0);
  EXPECT_TRUE(s.new_references.empty());
  apply_operator(203004, s);
  set_new_reference(s, X, 1);
  reset_coding_state(s, 0);
  EXPECT_EQ(s.reference_definition_width, 0);
  EXPECT_TRUE(s.new_references.empty());
}

TEST(NewReferenceValues, Uncompressed) {
  TableSet t = operator_tables();
  struct Case {
    std::string what;
    std::vector<uint32_t> descriptors;
    BitWriter data;
    std::vector<uint32_t> codes;
    Values values;
  };
  const std::vector<Case> cases = {
      {"negative, then cancelled", {X, 203008, X, 203255, X, 203000, X},
       BitWriter().put(10, 12).put(0b10000101, 8).put(10, 12).put(10, 12), {X, X, X}, {-90.0, 5.0, -90.0}},
      {"positive; other codes keep theirs", {203008, X, 203255, X, Y},
       BitWriter().put(7, 8).put(10, 12).put(10, 8), {X, Y}, {17.0, 1.0}},
      {"two codes in one definition", {203006, X, Y, 203255, X, Y},
       BitWriter().put(0b100011, 6).put(0b000010, 6).put(10, 12).put(10, 8), {X, Y}, {7.0, 1.2}},
      // 2 07 001 widens X to 16 bits and scales it; the new reference is not
      // multiplied, a Table B reference is.
      {"under 2 07 YYY", {207001, 203008, X, 203255, X, 203000, X},
       BitWriter().put(7, 8).put(13, 16).put(1013, 16), {X, X}, {2.0, 1.3}},
      {"no associated field, local width kept", {204003, 206004, 203008, X, 203255, X},
       BitWriter().put(1, 8).put(5, 3).put(3, 4), {999999, X}, {5.0, 4.0}},
      {"a missing value stays missing", {203008, X, 203255, X},
       BitWriter().put(1, 8).put(4095, 12), {X}, {none}},
  };
  for (const auto& c : cases) {
    auto r = decode(t, c.descriptors, c.data);
    ASSERT_TRUE(r) << c.what << ": " << error_of(r);
    EXPECT_EQ(codes(*r), c.codes) << c.what;
    EXPECT_EQ(values_of(*r), c.values) << c.what;
  }
}

TEST(NewReferenceValues, UncompressedScopeAndBitmap) {
  TableSet t = operator_tables();
  // Subset 1 defines a reference inside its replication, subset 2 does not:
  // the change does not reach subset 2.
  BitWriter w;
  w.put(1, 8).put(20, 8).put(10, 12);  // factor 1, reference 20, X
  w.put(0, 8).put(10, 12);             // factor 0, X
  auto r = decode(t, {101000, 31001, 301001, X}, w, 2);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{31001, X, 31001, X}));
  EXPECT_EQ(values_of(*r), (Values{1.0, 30.0, 0.0, -90.0}));

  // A definition is not in the history: the bitmap lies over A and X,
  // and a marker value for X uses X's new reference.
  BitWriter b;
  b.put(4, 8).put(10, 12).put(20, 8).put(0, 1).put(0, 1).put(6, 8).put(10, 12);
  auto m = decode(t, {A, X, 203008, X, 203255, 236000, 101002, 31031, 223255, 223255}, b);
  ASSERT_TRUE(m) << error_of(m);
  EXPECT_EQ(codes(*m), (std::vector<uint32_t>{A, X, 236000, 31031, 31031, A, X}));
  EXPECT_EQ(values_of(*m).back(), 30.0);
  EXPECT_EQ(values_of(*m)[1], -90.0);

  // Data too short for a definition, or a definition wider than 64 bits.
  EXPECT_EQ(error_of(decode(t, {203012, X}, BitWriter().put(1, 8))),
            "csv/table parse error: not enough bits while reading section 4 at bit 0 for width 12 (8 bits available)");
  EXPECT_EQ(error_of(decode(t, {203100, X}, BitWriter().put(0, 128))),
            "csv/table parse error: cannot read 100 bits into u64");
}

TEST(NewReferenceValues, Compressed) {
  TableSet t = operator_tables();
  // The definition as a constant column, and as equal increments.
  for (bool increments : {false, true}) {
    BitWriter w;
    if (increments) {
      w.put(0b10000001, 8).put(2, 6).put(2, 2).put(2, 2);  // 0b10000011: -3
    } else {
      w.put(0b10000011, 8).put(0, 6);
    }
    w.put(10, 12).put(2, 6).put(0, 2).put(1, 2);  // X: 10, 11
    w.put(10, 12).put(0, 6);                      // X after 2 03 000
    auto r = decode(t, {203008, X, 203255, X, 203000, X}, w, 2, true);
    ASSERT_TRUE(r) << error_of(r);
    EXPECT_EQ(codes(*r), (std::vector<uint32_t>{X, X, X, X}));
    EXPECT_EQ(values_of(*r), (Values{7.0, -90.0, 8.0, -90.0})) << increments;
  }
  // A reference that differs between subsets cannot serve them all.
  BitWriter varying;
  varying.put(5, 8).put(1, 6).put(0, 1).put(1, 1).put(0, 32);
  EXPECT_EQ(error_of(decode(t, {203008, X, 203255, X}, varying, 2, true)),
            "csv/table parse error: compressed new reference value for 010001 differs between subsets");
  // With no subsets R0 and NBINC are still read.
  BitWriter empty;
  empty.put(5, 8).put(0, 6).put(10, 12).put(0, 6);
  auto zero = decode(t, {203008, X, 203255, X}, empty, 0, true);
  ASSERT_TRUE(zero) << error_of(zero);
  EXPECT_TRUE(zero->values.empty());
  EXPECT_FALSE(decode(t, {203008, X, 203255, X, X}, empty, 0, true));
}

namespace {

// 0 08 023 (a code table, 6 bits), 0 14 027 (7 bits) and 0 21 192 (13 bits,
// scale 2, reference -5000) as ecCodes' tables give them.
TableSet real_shape_tables() {
  TableSet t = basic_tables();
  ElementDefinition code = numeric(8023, "FIRST ORDER STATISTICS", 6);
  code.unit = "CODE TABLE";
  t.insert_element(code);
  t.insert_element(numeric(14027, "ALBEDO", 7));
  t.insert_element(numeric(21192, "RADAR BACK SCATTER", 13, 2, -5000));
  return t;
}

// Every value once per subset: NBINC 0 after each reference value.
BitWriter compressed_constant(const std::vector<std::pair<uint64_t, uint32_t>>& fields) {
  BitWriter w;
  for (auto [value, width] : fields) w.put(value, width).put(0, 6);
  return w;
}

}  // namespace

// An AIRS message (3 10 054) widens and scales 0 14 027 with 2 01 131 and
// 2 02 129 around code-table elements, which keep their Table B coding.
TEST(ChangedCoding, CodeAndFlagTablesKeepTheirWidthAndScale) {
  TableSet t = real_shape_tables();
  const std::vector<uint32_t> d = {201131, 202129, 102002, 8023, 14027, 8023, 202000, 201000};
  const std::vector<std::pair<uint64_t, uint32_t>> fields = {{3, 6}, {500, 10}, {4, 6}, {250, 10}, {5, 6}};
  BitWriter plain;
  for (auto [value, width] : fields) plain.put(value, width);
  auto r = decode(t, d, plain);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(values_of(*r), (Values{3.0, 50.0, 4.0, 25.0, 5.0}));
  r = decode(t, d, compressed_constant(fields), 2, true);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(values_of(*r), (Values{3.0, 50.0, 4.0, 25.0, 5.0, 3.0, 50.0, 4.0, 25.0, 5.0}));
}

// ECMWF wind profiler messages give 0 21 192 (13 bits in the tables) 8 bits
// with 2 06 008: the value is the integer read, as the reference reads it,
// whatever 2 01 YYY says around it.
TEST(ChangedCoding, LocalWidthReadsThePlainInteger) {
  TableSet t = real_shape_tables();
  const std::vector<uint32_t> d = {201129, 206008, 21192, 201000, 1001, 21192};
  const std::vector<std::pair<uint64_t, uint32_t>> fields = {{59, 8}, {7, 8}, {5100, 13}};
  BitWriter plain;
  for (auto [value, width] : fields) plain.put(value, width);
  auto r = decode(t, d, plain);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(values_of(*r), (Values{59.0, 7.0, 1.0}));
  r = decode(t, d, compressed_constant(fields), 2, true);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(values_of(*r), (Values{59.0, 7.0, 1.0, 59.0, 7.0, 1.0}));
  // All ones in the local width is missing.
  BitWriter missing;
  missing.put(255, 8).put(7, 8).put(5100, 13);
  r = decode(t, d, missing);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(values_of(*r), (Values{none, 7.0, 1.0}));
}

// JMA wind profilers put 2 06 008 before the local 0 25 192 so that decoders
// without it can step over it: it is read as an 8-bit integer with no name,
// and what follows decodes.
TEST(ChangedCoding, LocalWidthReadsAnElementTheTablesLack) {
  TableSet t = real_shape_tables();
  const std::vector<uint32_t> d = {1001, 206008, 25192, 1002};
  const std::vector<std::pair<uint64_t, uint32_t>> fields = {{7, 8}, {200, 8}, {9, 8}};
  BitWriter plain;
  for (auto [value, width] : fields) plain.put(value, width);
  for (bool compressed : {false, true}) {
    auto r = compressed ? decode(t, d, compressed_constant(fields), 2, true) : decode(t, d, plain);
    ASSERT_TRUE(r) << error_of(r);
    ASSERT_EQ(r->values.size(), compressed ? 6u : 3u);
    EXPECT_EQ(values_of(*r), compressed ? (Values{7.0, 200.0, 9.0, 7.0, 200.0, 9.0}) : (Values{7.0, 200.0, 9.0}));
    EXPECT_EQ(r->values[1].descriptor, 25192u);
    EXPECT_TRUE(r->values[1].name.empty());
  }
  // A bitmap designating it cannot say how its statistic is coded.
  const std::vector<uint32_t> with_bitmap = {1001, 206008, 25192, 223000, 236000, 101002, 31031, 223255};
  BitWriter bits;
  bits.put(7, 8).put(200, 8).put(1, 1).put(0, 1);
  EXPECT_EQ(error_of(decode(t, with_bitmap, bits)), "csv/table parse error: bitmap designates an element that Table B lacks");
  // Without 2 06 YYY its width is unknown.
  EXPECT_EQ(error_of(decode(t, {1001, 25192, 1002}, plain)), "descriptor 025192 was not found in Table B");
}

// ECMWF TEMP and PILOT messages: 2 22 000 and 2 23 000 each followed at once
// by its bitmap, no 2 36 000; the 2 23 255 values follow the second bitmap,
// over the elements before 2 22 000.
TEST(Bitmaps, BitmapFollowingTheOperatorWithoutDefinition) {
  TableSet t = real_shape_tables();
  const std::vector<uint32_t> d = {1001, 1002, 1003, 222000, 101000, 31002, 31031, 101000, 31002, 1004,
                                   223000, 101000, 31002, 31031, 101000, 31002, 223255};
  const std::vector<std::pair<uint64_t, uint32_t>> fields = {
      {1, 8}, {2, 8}, {3, 8}, {3, 16}, {0, 1}, {1, 1}, {0, 1}, {2, 16}, {70, 8}, {80, 8},
      {3, 16}, {1, 1}, {0, 1}, {0, 1}, {2, 16}, {22, 8}, {33, 8}};
  BitWriter plain;
  for (auto [value, width] : fields) plain.put(value, width);
  for (bool compressed : {false, true}) {
    const uint16_t subsets = compressed ? 2 : 1;
    auto r = compressed ? decode(t, d, compressed_constant(fields), subsets, true) : decode(t, d, plain);
    ASSERT_TRUE(r) << error_of(r);
    const size_t per_subset = r->values.size() / subsets;
    for (uint16_t s = 0; s < subsets; ++s) {
      const DecodedValue& b = r->values[(s + 1) * per_subset - 2];
      const DecodedValue& c = r->values[(s + 1) * per_subset - 1];
      EXPECT_EQ(std::make_pair(b.descriptor, b.value), std::make_pair(1002u, 22.0)) << compressed;
      EXPECT_EQ(std::make_pair(c.descriptor, c.value), std::make_pair(1003u, 33.0)) << compressed;
    }
  }
}
