// The data writer on hand-built templates: the compressed column rules bit
// for bit, read back by the decoder, and the errors that refuse a value.
#include <cmath>
#include <deque>

#include "encode/encode.hpp"
#include "test_data_support.hpp"

using namespace tarvane;
using namespace tarvane::data_test;

namespace {

constexpr uint32_t A = 1001, T = 12101, NAME = 1015;

EncodeValue number(double v) { return {v, std::nullopt, std::nullopt, false, {}}; }
EncodeValue missing() { return {0.0, std::nullopt, std::nullopt, true, {}}; }
EncodeValue text(std::string_view s) { return {0.0, std::nullopt, s, false, {}}; }

// Values in walk order; a factor is the next value's number.
class ListSource final : public ValueSource {
 public:
  explicit ListSource(std::vector<EncodeValue> values) : values_(values.begin(), values.end()) {}
  Result<EncodeValue> next(uint32_t, const ElementInfo*) override {
    if (values_.empty()) return fail(BufrError::encode("no more values"));
    EncodeValue v = values_.front();
    values_.pop_front();
    return v;
  }
  Result<uint64_t> factor(uint32_t, uint32_t) override { return static_cast<uint64_t>(values_.front().value); }

 private:
  std::deque<EncodeValue> values_;
};

Result<std::vector<uint8_t>> encode(const TableSet& t, const std::vector<uint32_t>& d,
                                    std::vector<std::vector<EncodeValue>> subsets, bool compressed) {
  std::vector<ListSource> sources;
  for (auto& s : subsets) sources.emplace_back(std::move(s));
  std::vector<ValueSource*> pointers;
  for (auto& s : sources) pointers.push_back(&s);
  return encode_data(d, t, pointers, compressed);
}

std::vector<uint8_t> padded(BitWriter w) {
  while (w.bits % 8 != 0) w.put(0, 1);
  return w.bytes;
}

}  // namespace

TEST(EncodeCompressed, ColumnsFollowTheRules) {
  const TableSet t = basic_tables();
  struct Case {
    std::string what;
    uint32_t code;
    std::vector<EncodeValue> values;  // one per subset
    BitWriter expected;
  };
  std::vector<Case> cases = {
      {"all missing: R0 all ones, NBINC 0", A, {missing(), missing(), missing()}, BitWriter().ones(8).put(0, 6)},
      {"all equal: R0 the value, NBINC 0", A, {number(5), number(5), number(5)}, BitWriter().put(5, 8).put(0, 6)},
      {"a missing value widens the increments", A, {number(5), missing(), number(7)},
       BitWriter().put(5, 8).put(2, 6).put(0, 2).put(3, 2).put(2, 2)},
      {"an all-ones increment would read as missing", A, {number(0), number(1), number(1)},
       BitWriter().put(0, 8).put(2, 6).put(0, 2).put(1, 2).put(1, 2)},
      {"scaled with a reference", T, {number(-273.2), number(-273.0), number(-273.2)},
       BitWriter().put(0, 12).put(2, 6).put(0, 2).put(2, 2).put(0, 2)},
      {"equal texts: R0 the text", NAME, {text("AB"), text("AB  "), text("AB")},
       BitWriter().text("AB      ").put(0, 6)},
      {"differing texts: R0 zeros, NBINC the width", NAME, {text("AB"), text("CD"), missing()},
       BitWriter().put(0, 64).put(8, 6).text("AB      ").text("CD      ").ones(64)},
  };
  for (auto& c : cases) {
    std::vector<std::vector<EncodeValue>> subsets;
    for (const auto& v : c.values) subsets.push_back({v});
    auto data = encode(t, {c.code}, subsets, true);
    ASSERT_TRUE(data) << c.what << ": " << data.error().display();
    EXPECT_EQ(*data, padded(c.expected)) << c.what;
    // The decoder reads back what was given.
    BitWriter bits;
    bits.bytes = *data;
    auto back = decode(t, {c.code}, bits, 3, true);
    ASSERT_TRUE(back) << c.what;
    for (size_t j = 0; j < 3; ++j) {
      const DecodedValue& v = back->values[j];
      const EncodeValue& given = c.values[j];
      if (given.text) {
        EXPECT_EQ(back->raw_text(v).value_or("?"), std::string(*given.text).substr(0, 2)) << c.what;
      } else if (given.missing) {
        EXPECT_TRUE(!v.has_value || v.text == DecodedValue::kNoText) << c.what;
      } else {
        EXPECT_EQ(v.value, given.value) << c.what << " subset " << j;
      }
    }
  }
}

TEST(EncodeData, RefusesWhatTheCodingCannotHold) {
  const TableSet t = basic_tables();
  const std::vector<uint32_t> replicated = {101000, 31001, A};
  struct Case {
    std::string what;
    std::vector<uint32_t> descriptors;
    std::vector<std::vector<EncodeValue>> subsets;
    bool compressed;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"above the range", {T}, {{number(1)}, {number(200)}}, false,
       "value 200 of 012101 (TEMPERATURE) in subset 2 is outside [-273.2, 136.2] K"},
      {"below the range, compressed", {T}, {{number(-300)}, {number(1)}}, true,
       "value -300 of 012101 (TEMPERATURE) in subset 1 is outside [-273.2, 136.2] K"},
      {"raw wider than the element", {A}, {{EncodeValue{0, 256, std::nullopt, false, {}}}}, false,
       "value 256 (raw) of 001001 (A) in subset 1 is outside [0, 255] for 8 bits"},
      {"text longer than the width", {NAME}, {{text("ABCDEFGHI")}}, false,
       "text of 9 characters for 001015 (STATION OR SITE NAME) in subset 1 is longer than its 8 characters"},
      {"factor wider than its element", replicated, {{number(300)}}, false,
       "replication factor 300 of 101000 in subset 1: value 300 of 031001"},
      {"compressed factors differ", replicated, {{number(1), number(4)}, {number(2), number(4), number(5)}}, true,
       "replication factors of 101000 differ between subsets"},
      {"the source runs out", {A, A}, {{number(1)}}, false, "no more values"},
  };
  for (const auto& c : cases) {
    auto data = encode(t, c.descriptors, c.subsets, c.compressed);
    ASSERT_FALSE(data) << c.what;
    EXPECT_EQ(data.error().kind, ErrorKind::Encode) << c.what;
    EXPECT_NE(data.error().display().find(c.message), std::string::npos) << c.what << ": " << data.error().display();
  }
}

// Records left over or out of step with the template are the caller's to
// refuse (remaining), or refused by descriptor.
TEST(EncodeData, RecordSourceFollowsTheTemplate) {
  const TableSet t = basic_tables();
  BitWriter w;
  w.put(7, 8).put(9, 8);
  auto decoded = decode(t, {A, 1002}, w);
  ASSERT_TRUE(decoded);
  RecordSource first_only(*decoded, 0, 2);
  ValueSource* one[] = {&first_only};
  auto data = encode_data(std::vector<uint32_t>{A}, t, one, false);
  ASSERT_TRUE(data);
  EXPECT_EQ(first_only.remaining(), 1u);
  RecordSource wrong(*decoded, 1, 2);
  ValueSource* other[] = {&wrong};
  auto refused = encode_data(std::vector<uint32_t>{A}, t, other, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(), "record 1 is 001002 where the template has 001001");
}

// Compressed data written again from columns left packed in the payload
// write what the records of the same data write, also where the source's
// R0 is not the least value or its increments are wider than they need.
TEST(EncodeCompressed, PackedColumnsWriteWhatTheirRecordsWrite) {
  const TableSet t = basic_tables();
  struct Case {
    std::string what;
    BitWriter column;  // one 0 01 001 column of 4 subsets
    BitWriter expected;
  };
  std::vector<Case> cases = {
      {"least increment not 0", BitWriter().put(10, 8).put(3, 6).put(2, 3).put(4, 3).put(2, 3).put(3, 3),
       BitWriter().put(12, 8).put(2, 6).put(0, 2).put(2, 2).put(0, 2).put(1, 2)},
      {"increments wider than needed, missing kept", BitWriter().put(4, 8).put(5, 6).put(0, 5).put(31, 5).put(1, 5).put(0, 5),
       BitWriter().put(4, 8).put(2, 6).put(0, 2).put(3, 2).put(1, 2).put(0, 2)},
      {"increments as they would be written", BitWriter().put(4, 8).put(2, 6).put(0, 2).put(3, 2).put(1, 2).put(0, 2),
       BitWriter().put(4, 8).put(2, 6).put(0, 2).put(3, 2).put(1, 2).put(0, 2)},
      {"varying increments of one value", BitWriter().put(7, 8).put(2, 6).put(1, 2).put(1, 2).put(1, 2).put(1, 2),
       BitWriter().put(8, 8).put(0, 6)},
      {"every increment missing", BitWriter().put(7, 8).put(1, 6).ones(4), BitWriter().ones(8).put(0, 6)},
      {"a present all-ones raw", BitWriter().put(250, 8).put(3, 6).put(5, 3).put(5, 3).put(7, 3).put(5, 3),
       BitWriter().put(253, 8).put(2, 6).put(2, 2).put(2, 2).put(3, 2).put(2, 2)},
  };
  for (auto& c : cases) {
    const std::span<const uint8_t> payload = c.column.bytes;
    std::vector<std::string> written;
    for (bool pack : {false, true}) {
      DecodeResult texts;
      DecodeContext ctx(t, payload, texts);
      ctx.subsets = 4;
      ctx.columns.pack = ctx.columns.pack_coded = pack;
      ASSERT_TRUE(decode_compressed_columns(std::vector<uint32_t>{A}, ctx)) << c.what;
      ASSERT_EQ(ctx.columns.packed.size(), pack ? 1u : 0u) << c.what;
      std::vector<RecordSource> sources;
      for (size_t j = 0; j < 4; ++j) sources.emplace_back(texts, ctx.columns, j, payload);
      std::vector<ValueSource*> pointers;
      for (auto& s : sources) pointers.push_back(&s);
      auto data = encode_data(std::vector<uint32_t>{A}, t, pointers, true);
      ASSERT_TRUE(data) << c.what << ": " << data.error().display();
      written.emplace_back(data->begin(), data->end());
      if (pack) {
        EXPECT_EQ(*data, padded(c.expected)) << c.what;
      }
    }
    EXPECT_EQ(written[0], written[1]) << c.what;
  }
}
