// Every corpus message the core decodes, decoded and written again, decodes
// to the same records; uncompressed ones written with the same conventions
// give back their own data bits.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "data/decode.hpp"
#include "encode/encode.hpp"
#include "test_corpus_support.hpp"

using namespace tarvane;
using namespace tarvane::corpus_test;

namespace {

// One RecordSource per subset of a decoding in either layout.
struct Sources {
  std::vector<RecordSource> sources;
  std::vector<ValueSource*> pointers;

  Sources(const DecodeResult& r, const BufrMessage& m) {
    const size_t n = m.number_of_subsets;
    for (size_t s = 0; s < n; ++s) {
      size_t first, last;
      if (m.compressed_data) {
        const size_t per = n == 0 ? 0 : r.values.size() / n;
        first = s * per;
        last = first + per;
      } else {
        first = r.subset_starts[s];
        last = s + 1 < n ? r.subset_starts[s + 1] : r.values.size();
      }
      sources.emplace_back(r, first, last);
    }
    for (auto& source : sources) pointers.push_back(&source);
  }
  bool all_used() const {
    for (const auto& source : sources) {
      if (source.remaining() != 0) return false;
    }
    return true;
  }
};

// Equal as the reader's output: descriptor, texts, value bits, and the raw
// where the value is present (a compressed missing value's raw is R0). The
// number a text record carries depends on the layout.
bool same_data(const DecodeResult& a, const DecodedValue& x, const DecodeResult& b, const DecodedValue& y) {
  if (x.descriptor != y.descriptor || a.raw_text(x) != b.raw_text(y) || x.has_value != y.has_value) return false;
  // A missing value's raw and number are the layout's (R0 when compressed).
  if (x.text != DecodedValue::kNoText || y.text != DecodedValue::kNoText || !x.has_raw || !x.has_value) return true;
  return std::memcmp(&x.value, &y.value, sizeof(double)) == 0 && (!x.has_value || x.raw == y.raw) &&
         x.meaning == y.meaning;
}

// The encoded data decode, as message m in the given layout, to records.
::testing::AssertionResult decodes_alike(const BufrMessage& m, const TableSet& t, const DecodeResult& original,
                                         const std::vector<uint8_t>& data, bool compressed) {
  BufrMessage again = m;
  again.compressed_data = compressed;
  auto back = decode_uncompressed_values(again, t, data);
  if (!back) return ::testing::AssertionFailure() << "decoding fails: " << back.error().display();
  if (back->values.size() != original.values.size()) {
    return ::testing::AssertionFailure() << back->values.size() << " records, not " << original.values.size();
  }
  for (size_t i = 0; i < original.values.size(); ++i) {
    const bool text = original.values[i].text != DecodedValue::kNoText;
    if (!same_data(original, original.values[i], *back, back->values[i]) ||
        (!text && compressed == m.compressed_data && !same_record(original, original.values[i], *back, back->values[i]) &&
         original.values[i].has_value)) {
      const DecodedValue& x = original.values[i];
      const DecodedValue& y = back->values[i];
      return ::testing::AssertionFailure() << "record " << i << " differs: " << x.descriptor << " " << x.value << "/"
                                           << x.raw << "/" << x.has_value << " against " << y.descriptor << " "
                                           << y.value << "/" << y.raw << "/" << y.has_value;
    }
  }
  return ::testing::AssertionSuccess();
}

// The written bits are the payload's. The writer pads with zeros, others
// with ones or a byte more: the zero bits after the last one written are
// taken as padding.
bool same_bits(std::span<const uint8_t> payload, const std::vector<uint8_t>& data) {
  if (data.empty()) return true;
  if (payload.size() < data.size()) return false;
  const size_t last = data.size() - 1;
  if (std::memcmp(payload.data(), data.data(), last) != 0) return false;
  const unsigned tail = data[last] == 0 ? 8 : static_cast<unsigned>(std::countr_zero(data[last]));
  const uint8_t mask = static_cast<uint8_t>(0xFFu << tail);
  return (payload[last] & mask) == data[last];
}

}  // namespace

TEST(EncodeCorpus, DecodedMessagesWrittenAgainDecodeAlike) {
  if (path_kind(std::string(kDefinitions) + "/bufr") != PathKind::Directory) GTEST_SKIP() << "no ecCodes tables";
  CorpusTables tables;
  size_t decoded = 0, round_trips = 0, identical = 0, uncompressed = 0, flipped = 0;
  std::vector<std::string> failures, refused;
  for (const auto& path : corpus_files()) {
    auto file = read_file(path);
    ASSERT_TRUE(file) << path;
    for (auto bytes : candidates(*file)) {
      auto m = parse_message_any_edition(bytes);
      if (!m) continue;
      const TableSet* t = tables.find(*m);
      if (t == nullptr) continue;
      auto payload = section4_payload(*m, bytes);
      auto r = decode_uncompressed_values(*m, *t, payload);
      if (!r) continue;
      decoded += 1;
      const std::string name = path.substr(path.rfind('/') + 1);
      Sources same(*r, *m);
      auto data = encode_data(m->unexpanded_descriptors, *t, same.pointers, m->compressed_data);
      if (!data) {
        failures.push_back(name + ": " + data.error().display());
        continue;
      }
      EXPECT_TRUE(same.all_used()) << name;
      auto alike = decodes_alike(*m, *t, *r, *data, m->compressed_data);
      if (!alike) {
        failures.push_back(name + ": " + alike.message());
        continue;
      }
      round_trips += 1;
      if (!m->compressed_data) {
        uncompressed += 1;
        identical += same_bits(payload, *data) ? 1 : 0;
      }
      if (m->number_of_subsets > 1) {
        Sources other(*r, *m);
        auto flip = encode_data(m->unexpanded_descriptors, *t, other.pointers, !m->compressed_data);
        if (!flip) {
          // Varying replication factors or new references, or a present
          // all-ones value, that the other layout cannot hold.
          EXPECT_EQ(flip.error().kind, ErrorKind::Encode) << name;
          refused.push_back(name + ": " + flip.error().display());
          continue;
        }
        auto flip_alike = decodes_alike(*m, *t, *r, *flip, !m->compressed_data);
        if (!flip_alike) {
          failures.push_back(name + " (other layout): " + flip_alike.message());
          continue;
        }
        flipped += 1;
      }
    }
  }
  for (const auto& f : failures) std::cout << "  not written alike: " << f << "\n";
  for (const auto& f : refused) std::cout << "  refused in the other layout: " << f << "\n";
  std::cout << decoded << " decoded, " << round_trips << " written alike, " << identical << " of " << uncompressed
            << " uncompressed bit for bit, " << flipped << " in the other layout\n";
  EXPECT_GE(decoded, 300u);
  EXPECT_EQ(round_trips, decoded);
  EXPECT_GE(identical, 130u);
  EXPECT_GE(flipped, 160u);
  EXPECT_LE(refused.size(), 5u);
}

namespace {

// A source that hides its records, so that the writers take their general
// path, value by value.
struct Hidden final : ValueSource {
  RecordSource& s;
  explicit Hidden(RecordSource& source) : s(source) {}
  Result<EncodeValue> next(uint32_t code, const ElementInfo* info) override { return s.next(code, info); }
  Result<uint64_t> factor(uint32_t r, uint32_t f) override { return s.factor(r, f); }
  Status skip_operator(uint32_t code) override { return s.skip_operator(code); }
  Result<int64_t> new_reference(uint32_t code, int32_t scale) override { return s.new_reference(code, scale); }
};

// The written bytes, or the error's text.
std::string written(const Result<std::vector<uint8_t>>& r) {
  return r ? std::string(r->begin(), r->end()) : "error: " + r.error().display();
}

}  // namespace

// Records read in bulk (columns, elements under no operator) write what the
// value-by-value path writes, over subset-ordered records and over the
// compressed reader's own columns, in both layouts.
TEST(EncodeCorpus, BulkPathsWriteWhatTheGeneralPathWrites) {
  if (path_kind(std::string(kDefinitions) + "/bufr") != PathKind::Directory) GTEST_SKIP() << "no ecCodes tables";
  CorpusTables tables;
  size_t compared = 0;
  for (const auto& path : corpus_files()) {
    auto file = read_file(path);
    ASSERT_TRUE(file) << path;
    for (auto bytes : candidates(*file)) {
      auto m = parse_message_any_edition(bytes);
      const TableSet* t = m ? tables.find(*m) : nullptr;
      if (t == nullptr) continue;
      auto r = decode_uncompressed_values(*m, *t, section4_payload(*m, bytes));
      if (!r) continue;
      // The columns as read, and with the varying ones left packed in the
      // payload.
      DecodeResult texts, packed_texts;
      DecodeContext ctx(*t, section4_payload(*m, bytes), texts), packed(*t, section4_payload(*m, bytes), packed_texts);
      ctx.subsets = packed.subsets = m->number_of_subsets;
      packed.columns.pack = packed.columns.pack_coded = true;
      const bool columns = m->compressed_data && decode_compressed_columns(m->unexpanded_descriptors, ctx).has_value() &&
                           decode_compressed_columns(m->unexpanded_descriptors, packed).has_value();
      for (bool compressed : {false, true}) {
        if (compressed && m->number_of_subsets == 0) continue;
        Sources bulk(*r, *m), general(*r, *m);
        std::vector<Hidden> hidden(general.sources.begin(), general.sources.end());
        std::vector<ValueSource*> hidden_pointers;
        for (auto& h : hidden) hidden_pointers.push_back(&h);
        const std::string want = written(encode_data(m->unexpanded_descriptors, *t, hidden_pointers, compressed));
        EXPECT_EQ(written(encode_data(m->unexpanded_descriptors, *t, bulk.pointers, compressed)), want) << path;
        if (columns) {
          for (const DecodeContext* c : {&ctx, &packed}) {
            std::vector<RecordSource> by_column;
            for (size_t j = 0; j < m->number_of_subsets; ++j) by_column.emplace_back(c->out, c->columns, j, c->payload);
            std::vector<ValueSource*> pointers;
            for (auto& s : by_column) pointers.push_back(&s);
            EXPECT_EQ(written(encode_data(m->unexpanded_descriptors, *t, pointers, compressed)), want) << path;
          }
        }
        compared += 1;
      }
    }
  }
  EXPECT_GE(compared, 600u);
}
