// Single values: numeric and character elements, associated fields, the
// operator table and the arithmetic of scaled values.
#include <cmath>

#include "data/element.hpp"
#include "test_data_support.hpp"

using namespace tarvane;
using namespace tarvane::data_test;

namespace {

struct Read {
  Result<std::optional<double>> result;
  DecodeResult out;
  size_t position = 0;
};

Read read_one(const ElementDefinition& d, const TableSet& t, const BitWriter& w, ValueCodingState& s) {
  BitReader r(std::span<const uint8_t>(w.bytes.data(), w.bytes.size()));
  Read x{std::optional<double>(), {}, 0};
  x.result = read_element(d, t, r, s, x.out);
  x.position = r.position();
  return x;
}

}  // namespace

TEST(DecodeIa5Text, MapsTrimsAndDetectsMissing) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::optional<std::string> text;
  };
  const std::vector<Case> cases = {
      {{'A', 'B', ' ', ' '}, "AB"},
      {{' ', ' ', 'A', 'B'}, "  AB"},
      {{0x41, 0xC3, 0xA9}, "A??"},
      {std::vector<uint8_t>(8, ' '), ""},
      {std::vector<uint8_t>(8, 0xFF), std::nullopt},
      {{}, std::nullopt},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x41}, "???????A"},
      {{'X', '\t', '\r', '\n', 0x0B, 0x0C}, "X"},
      {{0x00, 'A', 0x00}, std::string("\0A\0", 3)},  // NUL is not white space
      {{'A', 0xFF}, "A?"},
      // NULs after all ones, or NULs alone, hold no character: missing.
      {{0xFF, 0x00, 0x00, 0x00}, std::nullopt},
      {{0xFF, 0xFF, 0x00}, std::nullopt},
      {std::vector<uint8_t>(20, 0x00), std::nullopt},
      {{0x00, 0xFF}, std::string("\0?", 2)},
      {{0xFF, 0x00, 'A'}, std::string("?\0A", 3)},
      {{'"', 0x00, 0x00}, std::string("\"\0\0", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_ia5_text(c.bytes), c.text);
}

TEST(ReadElement, MissingValueRule) {
  struct Case {
    ElementDefinition d;
    unsigned width;
    uint64_t bits;
    bool has_value;
  };
  const std::vector<Case> cases = {
      {numeric(31001, "factor", 8), 8, 255, true},      // class 31 is never missing
      {numeric(12101, "temperature", 8), 8, 255, false},
      {numeric(12101, "temperature", 8), 8, 254, true},
      {numeric(12101, "temperature", 64), 64, UINT64_MAX, true},  // width 64 is never missing
      {numeric(12101, "temperature", 63), 63, (uint64_t{1} << 63) - 1, false},
      {numeric(12101, "temperature", 0), 0, 0, false},  // width 0 outside class 31 is missing
      {numeric(31000, "factor", 0), 0, 0, true},
      {numeric(131001, "factor-like code outside class 31", 8), 8, 255, true},
  };
  TableSet t;
  for (const auto& c : cases) {
    ValueCodingState s;
    BitWriter w;
    w.put(c.bits, c.width);
    auto x = read_one(c.d, t, w, s);
    ASSERT_TRUE(x.result) << c.d.code;
    ASSERT_EQ(x.out.values.size(), 1u);
    const DecodedValue& v = x.out.values[0];
    EXPECT_EQ(v.has_value, c.has_value) << c.d.code << " width " << c.width;
    EXPECT_TRUE(v.has_raw);
    EXPECT_EQ(v.raw, c.bits);
    EXPECT_EQ(x.result->has_value(), c.has_value);
    EXPECT_EQ(x.position, c.width);
  }
}

TEST(ReadElement, ClassThirtyOneIsJudgedByTheXPartOfTheCode) {
  // 1 31 001 has X = 31 too: the test is on the code modulo 100000.
  EXPECT_TRUE(is_class31(131001));
  EXPECT_FALSE(is_class31(30999));
  EXPECT_FALSE(is_class31(32000));
}

TEST(ReadElement, ValueScaleReferenceAndMeaning) {
  TableSet t = basic_tables();
  ValueCodingState s;
  BitWriter w;
  w.put(2732 + 1215, 12);  // (raw - 2732) / 10
  auto x = read_one(*t.find_element(12101), t, w, s);
  ASSERT_TRUE(x.result);
  EXPECT_DOUBLE_EQ(**x.result, 121.5);
  EXPECT_EQ(x.out.values[0].descriptor, 12101u);
  EXPECT_EQ(x.out.values[0].name, "TEMPERATURE");
  EXPECT_EQ(x.out.values[0].meaning, nullptr);

  // A code table answers for missing values too.
  BitWriter all_ones;
  all_ones.ones(9);
  auto m = read_one(*t.find_element(20003), t, all_ones, s);
  ASSERT_TRUE(m.result);
  EXPECT_FALSE(m.out.values[0].has_value);
  ASSERT_NE(m.out.values[0].meaning, nullptr);
  EXPECT_EQ(*m.out.values[0].meaning, "Missing code");
}

TEST(ReadElement, NegativeScaleMultipliesAndLargeSumsStayExact) {
  EXPECT_EQ(scaled_value(5, 0, -1), 5.0 / (1.0 / 10.0));
  EXPECT_EQ(scaled_value(9250, 0, -1), 92500.0);
  EXPECT_EQ(scaled_value(3, 0, 2), 0.03);
  // raw beyond i64 plus a negative reference: formed exactly before rounding.
  EXPECT_EQ(scaled_value((uint64_t{1} << 63) + 5, INT64_MIN, 0), 5.0);
  EXPECT_EQ(scaled_value(UINT64_MAX, 0, 0), 18446744073709551615.0);
  EXPECT_EQ(scaled_value(0, INT64_MIN, 0), -9223372036854775808.0);
  // Powers outside the precomputed range follow the same squaring.
  EXPECT_EQ(pow10_for_scale(41), pow10_by_squaring(41));
  EXPECT_EQ(pow10_for_scale(-300), 1.0 / pow10_by_squaring(300));
  EXPECT_EQ(pow10_for_scale(400), INFINITY);
  EXPECT_EQ(pow10_for_scale(-12), 1.0 / 1e12);
}

TEST(ReadElement, OperatorsChangeWidthScaleAndReference) {
  struct Case {
    std::vector<uint32_t> operators;
    ElementDefinition d;
    unsigned read_width;
    uint64_t bits;
    std::optional<double> value;
  };
  const std::vector<Case> cases = {
      {{201129}, numeric(1001, "A", 4), 5, 17, 17.0},
      {{201100}, numeric(1001, "A", 4), 0, 0, std::nullopt},
      {{201100}, numeric(31001, "F", 4), 0, 0, 0.0},
      {{207002}, numeric(12101, "T", 12, 1, -2732), 19, 300000, (300000.0 - 273200.0) / 1000.0},
      {{207002, 207000}, numeric(12101, "T", 12, 1, -2732), 12, 3000, (3000.0 - 2732.0) / 10.0},
      {{207002, 201000}, numeric(12101, "T", 12, 1, -2732), 12, 3000, (3000.0 - 273200.0) / 1000.0},
      {{202130}, numeric(1001, "A", 8), 8, 7, 0.07},
      {{202126}, numeric(1001, "A", 8), 8, 7, 700.0},
      {{201130, 202129, 207000}, numeric(1001, "A", 8), 8, 7, 7.0},
      {{206010}, numeric(1001, "A", 16), 10, 1000, 1000.0},
  };
  for (const auto& c : cases) {
    TableSet t;
    ValueCodingState s;
    for (uint32_t op : c.operators) apply_operator(op, s);
    BitWriter w;
    w.put(c.bits, c.read_width);
    w.put(0, 8);  // trailing bits tell whether the width was right
    auto x = read_one(c.d, t, w, s);
    ASSERT_TRUE(x.result) << c.operators[0];
    EXPECT_EQ(x.position, c.read_width) << c.operators[0];
    ASSERT_EQ(x.result->has_value(), c.value.has_value()) << c.operators[0];
    if (c.value) {
      EXPECT_DOUBLE_EQ(**x.result, *c.value) << c.operators[0];
    }
  }
}

TEST(ReadElement, CharacterElementsKeepTheirWidthUnlessTextWidthIsSet) {
  TableSet t = basic_tables();
  const ElementDefinition& name = *t.find_element(1015);
  struct Case {
    std::vector<uint32_t> operators;
    std::string text;
    double index;
  };
  const std::vector<Case> cases = {
      {{}, "ABCDEFGH", 1008.0},
      {{206008, 201140, 202130, 207003}, "ABCDEFGH", 1008.0},  // numeric operators leave text alone
      {{208010}, "ABCDEFGHIJ", 1010.0},
      {{208010, 208000}, "ABCDEFGH", 1008.0},
  };
  for (const auto& c : cases) {
    ValueCodingState s;
    for (uint32_t op : c.operators) apply_operator(op, s);
    BitWriter w;
    w.text(c.text);
    auto x = read_one(name, t, w, s);
    ASSERT_TRUE(x.result);
    EXPECT_FALSE(x.result->has_value());
    EXPECT_EQ(x.position, c.text.size() * 8);
    const DecodedValue& v = x.out.values[0];
    EXPECT_EQ(x.out.raw_text(v), c.text);
    EXPECT_TRUE(v.has_value);
    EXPECT_FALSE(v.has_raw);
    EXPECT_EQ(v.value, c.index);
    EXPECT_EQ(s.text_counter, 1u);
  }
}

TEST(ReadElement, CharacterAllOnesHasNoTextButStillCounts) {
  TableSet t = basic_tables();
  ValueCodingState s;
  s.text_counter = 4;
  BitWriter w;
  w.ones(64);
  auto x = read_one(*t.find_element(1015), t, w, s);
  ASSERT_TRUE(x.result);
  EXPECT_EQ(x.out.values[0].text, DecodedValue::kNoText);
  EXPECT_TRUE(x.out.texts.empty());
  EXPECT_EQ(x.out.values[0].value, 5008.0);
  EXPECT_EQ(s.text_counter, 5u);
}

TEST(ReadElement, FailuresAppendNothing) {
  TableSet t = basic_tables();
  struct Case {
    uint32_t code;
    std::vector<uint32_t> operators;
    unsigned available_bits;
    std::string error;
  };
  const std::vector<Case> cases = {
      {12101, {}, 8, "not enough bits while reading section 4 at bit 0 for width 12 (8 bits available)"},
      {1015, {}, 16, "not enough bits while reading section 4 at bit 16 for width 8 (16 bits available)"},
      {1001, {201185}, 128, "cannot read 65 bits into u64"},
      {1001, {206070}, 128, "cannot read 70 bits into u64"},
      {12101, {207018}, 128, "cannot read 72 bits into u64"},
  };
  for (const auto& c : cases) {
    ValueCodingState s;
    for (uint32_t op : c.operators) apply_operator(op, s);
    BitWriter w;
    w.put(0, c.available_bits);
    auto x = read_one(*t.find_element(c.code), t, w, s);
    ASSERT_FALSE(x.result) << c.code;
    EXPECT_EQ(x.result.error().display(), std::string(kParsePrefix) + c.error);
    EXPECT_TRUE(x.out.values.empty());
    EXPECT_EQ(s.text_counter, 0u);
  }
}

TEST(ReadAssociatedField, NeverMissingAndWidthZeroReadsNothing) {
  BitWriter w;
  w.put(127, 7).put(0xFF, 8);
  BitReader r(std::span<const uint8_t>(w.bytes.data(), w.bytes.size()));
  DecodeResult out;
  ASSERT_TRUE(read_associated_field(r, 0, out));
  EXPECT_TRUE(out.values.empty());
  EXPECT_EQ(r.position(), 0u);
  ASSERT_TRUE(read_associated_field(r, 7, out));
  ASSERT_EQ(out.values.size(), 1u);
  EXPECT_EQ(out.values[0].descriptor, 999999u);
  EXPECT_EQ(out.values[0].name, "associatedField");
  EXPECT_EQ(out.values[0].value, 127.0);
  EXPECT_EQ(out.values[0].raw, 127u);
  EXPECT_EQ(out.values[0].meaning, nullptr);
  EXPECT_TRUE(read_associated_field(r, 2, out));
  EXPECT_FALSE(read_associated_field(r, 8, out));  // 7 bits left
  EXPECT_EQ(out.values.size(), 2u);
}

TEST(ApplyOperator, StateTable) {
  ValueCodingState s;
  apply_operator(201130, s);
  EXPECT_EQ(s.width_change, 2);
  apply_operator(202125, s);
  EXPECT_EQ(s.scale_change, -3);
  apply_operator(207003, s);
  EXPECT_EQ(s.width_change, 10);
  EXPECT_EQ(s.scale_change, 3);
  EXPECT_EQ(s.reference_multiplier, 1000);
  apply_operator(201000, s);
  EXPECT_EQ(s.width_change, 0);
  EXPECT_EQ(s.scale_change, 3);  // only that half of 2 07 is undone
  EXPECT_EQ(s.reference_multiplier, 1000);
  apply_operator(207018, s);
  EXPECT_EQ(s.reference_multiplier, 1000000000000000000);
  apply_operator(207019, s);  // 10^19 modulo 2^64, two's complement
  EXPECT_EQ(s.reference_multiplier, static_cast<int64_t>(10000000000000000000ull));
  apply_operator(207000, s);
  EXPECT_EQ(s.width_change, 0);
  EXPECT_EQ(s.scale_change, 0);
  EXPECT_EQ(s.reference_multiplier, 1);
  apply_operator(204007, s);
  EXPECT_EQ(s.associated_field_width, 7);
  apply_operator(204000, s);
  EXPECT_EQ(s.associated_field_width, 0);
  apply_operator(206000, s);
  EXPECT_EQ(s.local_width, std::optional<uint16_t>(0));
  apply_operator(208012, s);
  EXPECT_EQ(s.text_width, std::optional<uint16_t>(96));
  apply_operator(208000, s);
  EXPECT_EQ(s.text_width, std::nullopt);
  // Operators without an entry leave every field alone.
  ValueCodingState before = s;
  for (uint32_t op : {205004u, 209001u, 221005u, 222000u, 236000u, 241001u, 243000u}) apply_operator(op, s);
  EXPECT_EQ(s.width_change, before.width_change);
  EXPECT_EQ(s.scale_change, before.scale_change);
  EXPECT_EQ(s.local_width, before.local_width);
  EXPECT_EQ(s.text_width, before.text_width);
  EXPECT_EQ(s.associated_field_width, before.associated_field_width);
  EXPECT_FALSE(s.collecting_bitmap);
}

TEST(ApplyOperator, TableMembersWithLargeYKeepWidthsWide) {
  // Y above 255 comes only from a table member; it must not wrap to a small width.
  ValueCodingState s;
  apply_operator(204300, s);
  EXPECT_EQ(s.associated_field_width, 255);
  apply_operator(208999, s);
  EXPECT_EQ(s.text_width, std::optional<uint16_t>(7992));
  s.width_change = 100;
  EXPECT_EQ(numeric_width(65500, s), 65535u);
  s.width_change = -200;
  EXPECT_EQ(numeric_width(100, s), 0u);
}

TEST(BitmapEntries, TruncateAndClamp) {
  EXPECT_EQ(bitmap_entry(0.0), 0);
  EXPECT_EQ(bitmap_entry(1.9), 1);
  EXPECT_EQ(bitmap_entry(254.99), 254);
  EXPECT_EQ(bitmap_entry(70000.0), 255);
  EXPECT_EQ(bitmap_entry(-3.0), 0);
  EXPECT_EQ(bitmap_entry(NAN), 0);
  EXPECT_EQ(repetition_count(std::nullopt), 0u);
  EXPECT_EQ(repetition_count(2.7), 2u);
  EXPECT_EQ(repetition_count(-1.0), 0u);
  EXPECT_EQ(repetition_count(1e30), UINT64_MAX);
}

TEST(RecordBuffer, GrowsCopiesAndMovesWholeRecords) {
  RecordBuffer a;
  EXPECT_TRUE(a.empty());
  for (uint32_t k = 0; k < 1000; ++k) {
    DecodedValue v;
    v.descriptor = k;
    v.raw = k * 3;
    a.push_back(v);
  }
  a.resize_for_overwrite(1001);
  a.back() = operator_record(222000);
  ASSERT_EQ(a.size(), 1001u);
  RecordBuffer b = a;  // a copy of its own
  b[0].raw = 99;
  EXPECT_EQ(a[0].raw, 0u);
  RecordBuffer c = std::move(a);
  EXPECT_TRUE(a.empty());
  ASSERT_EQ(c.size(), 1001u);
  for (uint32_t k = 0; k < 1000; ++k) {
    ASSERT_EQ(c[k].descriptor, k);
    ASSERT_EQ(c[k].raw, k * 3);
  }
  EXPECT_EQ(c.back().descriptor, 222000u);
  EXPECT_EQ(b.end() - b.begin(), 1001);
  b = c;
  EXPECT_EQ(b[0].raw, 0u);
  c.clear();
  EXPECT_TRUE(c.empty());
}
