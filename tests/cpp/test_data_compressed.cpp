// Compressed section 4: columns of R0, NBINC and increments, regrouped by subset.
#include "data/compressed.hpp"
#include "test_data_support.hpp"

using namespace tarvane;
using namespace tarvane::data_test;

namespace {

constexpr uint32_t A = 1001, B = 1002;

Result<DecodeResult> decode_c(const TableSet& t, std::vector<uint32_t> d, const BitWriter& w, uint16_t n) {
  return decode(t, std::move(d), w, n, true);
}

std::vector<std::optional<double>> values_of(const DecodeResult& r) {
  std::vector<std::optional<double>> out;
  for (const auto& v : r.values) out.push_back(v.has_value ? std::optional<double>(v.value) : std::nullopt);
  return out;
}

}  // namespace

TEST(CompressedNumericColumn, ReferenceIncrementsAndMissing) {
  using V = std::optional<double>;
  struct Case {
    std::string what;
    unsigned width;
    bool missing_allowed;
    uint64_t r0;
    unsigned nbinc;
    std::vector<uint64_t> increments;
    std::vector<uint64_t> raws;
    std::vector<V> values;
  };
  const std::vector<Case> cases = {
      {"constant", 8, true, 5, 0, {}, {5, 5, 5}, {5.0, 5.0, 5.0}},
      {"missing reference", 4, true, 15, 2, {0, 1, 2}, {15, 15, 15}, {V(), V(), V()}},
      {"missing increment keeps R0", 8, true, 10, 3, {0, 7, 2}, {10, 10, 12}, {10.0, V(), 12.0}},
      {"class 31 increments are ordinary", 8, false, 10, 3, {0, 7, 2}, {10, 17, 12}, {10.0, 17.0, 12.0}},
      {"class 31 reference all ones", 4, false, 15, 0, {}, {15, 15, 15}, {15.0, 15.0, 15.0}},
      {"width 64 reference is never missing", 64, true, UINT64_MAX, 0, {}, {UINT64_MAX, UINT64_MAX, UINT64_MAX},
       {18446744073709551615.0, 18446744073709551615.0, 18446744073709551615.0}},
  };
  for (const auto& c : cases) {
    BitWriter w;
    w.put(c.r0, c.width).put(c.nbinc, 6);
    for (uint64_t inc : c.increments) w.put(inc, c.nbinc);
    w.put(0x2A, 8);  // what follows must be where the column ended
    BitReader r(std::span<const uint8_t>(w.bytes.data(), w.bytes.size()));
    std::vector<DecodedValue> column(3);
    auto st = read_compressed_numeric_column(1001, "X", c.width, 0, 0, c.missing_allowed, r,
                                             ColumnView{column.data(), 1, column.size()});
    ASSERT_TRUE(st) << c.what;
    ASSERT_EQ(column.size(), 3u) << c.what;
    for (size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(column[j].raw, c.raws[j]) << c.what << " subset " << j;
      EXPECT_EQ(column[j].has_value ? V(column[j].value) : V(), c.values[j]) << c.what << " subset " << j;
    }
    uint64_t next = 0;
    ASSERT_TRUE(r.try_read(8, next));
    EXPECT_EQ(next, 0x2Au) << c.what;
  }
}

TEST(CompressedNumericColumn, ShortDataFailsAtNbinc) {
  BitWriter w;
  w.put(3, 8);  // R0 fits, NBINC does not
  BitReader r(std::span<const uint8_t>(w.bytes.data(), w.bytes.size()));
  std::vector<DecodedValue> column(2);
  auto st = read_compressed_numeric_column(1001, "X", 4, 0, 0, true, r, ColumnView{column.data(), 1, 2});
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().display(),
            "csv/table parse error: not enough bits while reading section 4 at bit 4 for width 6 (8 bits available)");
}

TEST(Compressed, RegroupsColumnsBySubset) {
  TableSet t = basic_tables();
  BitWriter w2;
  w2.put(10, 8).put(2, 6).put(0, 2).put(1, 2).put(2, 2);  // A: 10 11 12
  w2.put(20, 8).put(0, 6);                                  // B: 20 20 20
  auto r = decode_c(t, {A, 222000, B}, w2, 3);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{A, 222000, B, A, 222000, B, A, 222000, B}));
  EXPECT_EQ(raws(*r), (std::vector<uint64_t>{10, 0, 20, 11, 0, 20, 12, 0, 20}));
  EXPECT_EQ(r->values[1].name, "operator");
  EXPECT_EQ(r->values[4].value, 0.0);
}

TEST(Compressed, ZeroSubsetsStillConsumeEveryItem) {
  TableSet t = basic_tables();
  BitWriter w;
  w.put(1, 8).put(0, 6).put(2, 8).put(0, 6);
  auto ok = decode_c(t, {A, B}, w, 0);
  ASSERT_TRUE(ok) << error_of(ok);
  EXPECT_TRUE(ok->values.empty());
  // One item more than the data hold fails, though no record would be made.
  auto short_data = decode_c(t, {A, B, A}, w, 0);
  EXPECT_FALSE(short_data);
}

TEST(Compressed, CharacterColumns) {
  TableSet t = basic_tables();
  BitWriter w;
  w.text("COMMON  ").put(0, 6);                                         // every subset: R0
  w.text("XXXXXXXX").put(4, 6).text("AB  ").text("CDEF").ones(32);     // own texts
  auto r = decode_c(t, {1015, 1015}, w, 3);
  ASSERT_TRUE(r) << error_of(r);
  ASSERT_EQ(r->values.size(), 6u);
  std::vector<std::optional<std::string>> texts;
  for (const auto& v : r->values) {
    auto s = r->raw_text(v);
    texts.push_back(s ? std::optional<std::string>(std::string(*s)) : std::nullopt);
  }
  EXPECT_EQ(texts, (std::vector<std::optional<std::string>>{"COMMON", "AB", "COMMON", "CDEF", "COMMON",
                                                             std::nullopt}));
  EXPECT_EQ(values_of(*r), (std::vector<std::optional<double>>{1008.0, 4008.0, 2008.0, 5008.0, 3008.0, 6008.0}));
  EXPECT_FALSE(r->values[0].has_raw);
}

TEST(Compressed, DelayedReplicationNeedsEqualFactors) {
  TableSet t = basic_tables();
  BitWriter same;
  same.put(2, 8).put(0, 6);                  // factor 2 in both subsets
  same.put(1, 8).put(0, 6).put(2, 8).put(0, 6);
  auto r = decode_c(t, {101000, 31001, A}, same, 2);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{31001, A, A, 31001, A, A}));
  EXPECT_EQ(raws(*r), (std::vector<uint64_t>{2, 1, 2, 2, 1, 2}));

  BitWriter varying;
  varying.put(2, 8).put(1, 6).put(0, 1).put(1, 1);  // 2 and 3
  varying.put(0, 64);
  EXPECT_EQ(error_of(decode_c(t, {101000, 31001, A}, varying, 2)),
            "csv/table parse error: compressed delayed replication with varying factors is not implemented");
}

TEST(Compressed, BitmapUsesSubsetOne) {
  TableSet t = basic_tables();
  BitWriter w;
  w.put(10, 8).put(0, 6).put(20, 8).put(0, 6);           // A, B
  w.put(1, 1).put(0, 6).put(0, 1).put(0, 6);             // bitmap 1 0
  w.put(99, 8).put(0, 6);                                // the value for B
  auto r = decode_c(t, {A, B, 236000, 101002, 31031, 223000, 223255, 223255}, w, 2);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{A, B, 236000, 31031, 31031, 223000, B, A, B, 236000, 31031, 31031,
                                              223000, B}));
  EXPECT_EQ(r->values[6].raw, 99u);
}

TEST(Compressed, AssociatedFieldColumnsAndOperators) {
  TableSet t = basic_tables();
  BitWriter w;
  w.put(1, 6).put(0, 6);                       // 0 31 021, no field before it
  w.put(15, 4).put(0, 6);                      // field of all ones: never missing
  w.put(255, 8).put(0, 6);                     // A missing
  w.put(7, 10).put(0, 6);                      // B through 2 06 010
  auto r = decode_c(t, {204004, 31021, A, 204000, 206010, B}, w, 2);
  ASSERT_TRUE(r) << error_of(r);
  EXPECT_EQ(codes(*r), (std::vector<uint32_t>{31021, 999999, A, B, 31021, 999999, A, B}));
  EXPECT_EQ(values_of(*r)[1], 15.0);
  EXPECT_EQ(values_of(*r)[2], std::nullopt);
  EXPECT_EQ(raws(*r)[3], 7u);
}

TEST(Compressed, ErrorsAndBounds) {
  TableSet t = basic_tables();
  for (uint32_t k = 0; k < 65; ++k) t.insert_sequence({340000 + k, {k + 1 < 65 ? 340000 + k + 1 : A}});
  BitWriter w;
  w.put(0, 64);
  EXPECT_EQ(error_of(decode_c(t, {340000}, w, 2)),
            "csv/table parse error: compressed descriptor decode exceeded recursion depth");
  EXPECT_EQ(error_of(decode_c(t, {340001}, w, 2)), "<no error>");
  EXPECT_EQ(error_of(decode_c(t, {12345}, w, 2)), "descriptor 012345 was not found in Table B");
  EXPECT_EQ(error_of(decode_c(t, {101000, 12345, A}, w, 2)), "descriptor 012345 was not found in Table B");
  EXPECT_EQ(error_of(decode_c(t, {102000, 31001, A}, w, 2)),
            "delayed replication descriptor 102000 is missing its replication factor or replicated descriptors");

  // 65535 subsets and operator columns that read nothing: records outgrow the bound.
  std::vector<uint32_t> ops(100, 222000);
  BitWriter one;
  one.put(0, 8);
  EXPECT_EQ(error_of(decode_c(t, ops, one, 65535)),
            "csv/table parse error: decoded output exceeds the limit of " + std::to_string(1048576 + 128) +
                " values for a section 4 of 1 bytes");
  // 1 08 255 repeats the seven replications after it, and so on inward.
  std::vector<uint32_t> nest;
  for (uint32_t k = 8; k >= 1; --k) nest.push_back(100255 + 1000 * k);
  nest.push_back(201000);
  EXPECT_EQ(error_of(decode_c(t, nest, one, 3)), "csv/table parse error: descriptor walk exceeds the limit of " +
                                                     std::to_string(1048576 + 128) + " steps for a section 4 of 1 bytes");
}
