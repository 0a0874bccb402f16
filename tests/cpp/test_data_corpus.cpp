// Real messages decoded twice give the same records. The output storage is
// not initialised before the decoders write it, so each decoding runs with
// the allocator filling new memory with a different byte: a field that some
// path leaves unwritten shows up as a difference.
#include <dirent.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fileio.hpp"
#include "data/program.hpp"
#include "data/to_columns.hpp"
#include "tables/flag_meaning.hpp"
#include "tables/loaders.hpp"
#include "test_data_support.hpp"
#include "test_corpus_support.hpp"

using namespace tarvane;
using namespace tarvane::corpus_test;

namespace {

// Heap allocations (no mmap) filled with ~byte when handed out.
Result<DecodeResult> decode_perturbed(const BufrMessage& m, const TableSet& t, std::span<const uint8_t> payload,
                                      int byte) {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_PERTURB, byte);
  auto r = decode_uncompressed_values(m, t, payload);
  mallopt(M_PERTURB, 0);
  return r;
}

}  // namespace

TEST(DecodeCorpus, TwiceGivesTheSameRecords) {
  if (path_kind(std::string(kDefinitions) + "/bufr") != PathKind::Directory) GTEST_SKIP() << "no ecCodes tables";
  CorpusTables tables;
  size_t decoded = 0, compressed = 0, records = 0, edition3 = 0;
  for (const auto& path : corpus_files()) {
    auto data = read_file(path);
    ASSERT_TRUE(data) << path;
    for (auto bytes : candidates(*data)) {
      auto m = parse_message_any_edition(bytes);
      if (!m) continue;
      const TableSet* slot = tables.find(*m);
      if (slot == nullptr) continue;
      auto payload = section4_payload(*m, bytes);
      auto first = decode_perturbed(*m, *slot, payload, 0xA5);
      auto second = decode_perturbed(*m, *slot, payload, 0x3C);
      ASSERT_EQ(bool(first), bool(second)) << path;
      if (!first) {
        EXPECT_EQ(first.error().display(), second.error().display()) << path;
        continue;
      }
      ASSERT_EQ(first->values.size(), second->values.size()) << path;
      for (size_t i = 0; i < first->values.size(); ++i) {
        ASSERT_TRUE(same_record(*first, first->values[i], *second, second->values[i])) << path << " record " << i;
      }
      decoded += 1;
      edition3 += m->edition == 3 ? 1 : 0;
      compressed += m->compressed_data ? 1 : 0;
      records += first->values.size();
    }
  }
  // The corpus holds both layouts, both editions and over a million records;
  // nearly all of its 155 + 147 messages decode.
  EXPECT_GE(decoded, 300u);
  EXPECT_EQ(edition3, 147u);
  EXPECT_GE(compressed, 100u);
  EXPECT_GE(records, 1000000u);
}

// Threads decoding with one TableSet side by side, the first decodes racing
// to build its element index, give the records of a decode on its own.
TEST(DecodeCorpus, ThreadsShareOneTableSet) {
  if (path_kind(std::string(kDefinitions) + "/bufr") != PathKind::Directory) GTEST_SKIP() << "no ecCodes tables";
  struct Item {
    std::vector<uint8_t> bytes;
    BufrMessage message;
    const TableSet* tables;
  };
  CorpusTables tables;
  std::vector<Item> items;
  for (const auto& path : corpus_files()) {
    auto data = read_file(path);
    ASSERT_TRUE(data) << path;
    for (auto bytes : candidates(*data)) {
      auto m = parse_message(bytes);
      if (!m) continue;
      const TableSet* slot = tables.find(*m);
      if (slot == nullptr) continue;
      items.push_back({std::vector<uint8_t>(bytes.begin(), bytes.end()), std::move(*m), slot});
    }
  }
  ASSERT_GE(items.size(), 90u);
  auto decode_item = [](const Item& item) {
    return decode_uncompressed_values(item.message, *item.tables, section4_payload(item.message, item.bytes));
  };
  constexpr size_t kThreads = 4;
  std::vector<std::vector<Result<DecodeResult>>> results(kThreads);
  std::vector<std::thread> threads;
  for (size_t k = 0; k < kThreads; ++k) {
    threads.emplace_back([&, k] {
      for (const Item& item : items) results[k].push_back(decode_item(item));
    });
  }
  for (auto& thread : threads) thread.join();
  for (size_t i = 0; i < items.size(); ++i) {
    auto alone = decode_item(items[i]);
    for (size_t k = 0; k < kThreads; ++k) {
      const auto& r = results[k][i];
      ASSERT_EQ(bool(r), bool(alone)) << i;
      if (!alone) continue;
      ASSERT_EQ(r->values.size(), alone->values.size()) << i;
      for (size_t j = 0; j < alone->values.size(); ++j) {
        ASSERT_TRUE(same_record(*r, r->values[j], *alone, alone->values[j])) << "message " << i << " record " << j;
      }
    }
  }
}

// The compiled walk gives the records and errors of the recursive one on
// every uncompressed corpus message, whatever its number of subsets.
TEST(DecodeCorpus, CompiledWalkGivesTheRecursiveWalksRecords) {
  if (path_kind(std::string(kDefinitions) + "/bufr") != PathKind::Directory) GTEST_SKIP() << "no ecCodes tables";
  CorpusTables tables;
  size_t compared = 0, multi = 0, compiles = 0;
  for (const auto& path : corpus_files()) {
    auto data = read_file(path);
    ASSERT_TRUE(data) << path;
    for (auto bytes : candidates(*data)) {
      auto m = parse_message(bytes);
      if (!m || m->compressed_data) continue;
      const TableSet* slot = tables.find(*m);
      if (slot == nullptr) continue;
      auto payload = section4_payload(*m, bytes);
      auto walked = decode_uncompressed_values_recursive(*m, *slot, payload);
      auto compiled = decode_uncompressed_values_compiled(*m, *slot, payload);
      auto chosen = decode_uncompressed_values(*m, *slot, payload);
      for (const auto* r : {&compiled, &chosen}) {
        ASSERT_EQ(bool(*r), bool(walked)) << path;
        if (!walked) {
          EXPECT_EQ(r->error().display(), walked.error().display()) << path;
          continue;
        }
        ASSERT_EQ((*r)->values.size(), walked->values.size()) << path;
        EXPECT_EQ((*r)->subset_starts, walked->subset_starts) << path;
        for (size_t i = 0; i < walked->values.size(); ++i) {
          ASSERT_TRUE(same_record(**r, (*r)->values[i], *walked, walked->values[i])) << path << " record " << i;
        }
      }
      compared += 1;
      multi += m->number_of_subsets > 1 ? 1 : 0;
      compiles += compile_program(m->unexpanded_descriptors, *slot, 1u << 20) ? 1 : 0;
    }
  }
  // Both editions' uncompressed messages, nearly all of them compiled.
  EXPECT_GE(compared, 95u);
  EXPECT_GE(multi, 10u);
  EXPECT_GE(compiles, 90u);
}

namespace {

// What the columns say of record i of general: its text and meaning as the
// column writer gives them (a flag element's from its set bits).
std::optional<std::string> expected_meaning(const DecodedValue& v, FlagElements& flags) {
  if (const ElementInfo* flag = flags.find(v.descriptor)) {
    if (!v.has_value) return std::nullopt;
    return flag_meaning(*flag->codes, flag->def->width, v.raw);
  }
  if (v.meaning == nullptr) return std::nullopt;
  return *v.meaning;
}

void expect_columns_match(const DecodeResult& general, const MessageColumns& c, const TableSet& tables,
                          const std::string& where) {
  const size_t n = general.values.size();
  ASSERT_EQ(c.value.size, n) << where;
  ASSERT_EQ(c.raw.size, n) << where;
  const size_t k = c.positions.size();
  ASSERT_EQ(k * c.subsets, n) << where;
  FlagElements flags(tables);
  size_t text = 0, meaning = 0;
  for (size_t i = 0; i < n; ++i) {
    const DecodedValue& v = general.values[i];
    ASSERT_EQ(c.positions[i % k], v.descriptor) << where << " record " << i;
    const bool number = v.has_value && v.has_raw;
    const double value = c.value.data()[i];
    if (number) {
      ASSERT_EQ(std::memcmp(&value, &v.value, sizeof value), 0) << where << " record " << i;
    } else {
      ASSERT_TRUE(std::isnan(value)) << where << " record " << i;
    }
    ASSERT_EQ(c.raw.data()[i], number ? v.raw : 0) << where << " record " << i;
    if (v.text != DecodedValue::kNoText) {
      ASSERT_LT(text, c.texts.size()) << where;
      EXPECT_EQ(c.text_records[text], i) << where;
      EXPECT_EQ(c.texts[text++], general.texts[v.text]) << where;
    }
    if (auto m = expected_meaning(v, flags)) {
      ASSERT_LT(meaning, c.meaning_records.size()) << where;
      EXPECT_EQ(c.meaning_records[meaning], i) << where;
      EXPECT_EQ(c.meanings[c.meaning_ids[meaning++]], *m) << where << " record " << i;
    }
  }
  EXPECT_EQ(text, c.texts.size()) << where;
  EXPECT_EQ(meaning, c.meaning_records.size()) << where;
}

}  // namespace

// The reading layer's columns of a compressed message, unpacked straight
// from the payload, hold the general walk's records field for field; left
// without raw and meanings, the same values and texts.
TEST(DecodeCorpus, CompressedColumnsAreTheWalksRecords) {
  if (path_kind(std::string(kDefinitions) + "/bufr") != PathKind::Directory) GTEST_SKIP() << "no ecCodes tables";
  CorpusTables tables;
  size_t compared = 0, values = 0;
  for (const auto& path : corpus_files()) {
    auto data = read_file(path);
    ASSERT_TRUE(data) << path;
    for (auto bytes : candidates(*data)) {
      auto m = parse_message_any_edition(bytes);
      if (!m || !m->compressed_data) continue;
      const TableSet* slot = tables.find(*m);
      if (slot == nullptr) continue;
      auto payload = section4_payload(*m, bytes);
      auto general = decode_uncompressed_values(*m, *slot, payload);
      DecodeResult scratch;
      auto columns = decode_columns(*m, *slot, payload, scratch, true);
      ASSERT_EQ(bool(columns), bool(general)) << path;
      if (!general) {
        EXPECT_EQ(columns.error().display(), general.error().display()) << path;
        continue;
      }
      expect_columns_match(*general, *columns, *slot, path);
      auto lean = decode_columns(*m, *slot, payload, scratch, false);
      ASSERT_TRUE(lean) << path;
      EXPECT_EQ(lean->raw.size, 0u) << path;
      EXPECT_TRUE(lean->meaning_records.empty()) << path;
      EXPECT_EQ(lean->texts, columns->texts) << path;
      ASSERT_EQ(lean->value.size, columns->value.size) << path;
      EXPECT_EQ(std::memcmp(lean->value.data(), columns->value.data(), columns->value.size * sizeof(double)), 0) << path;
      compared += 1;
      values += general->values.size();
    }
  }
  EXPECT_GE(compared, 100u);
  EXPECT_GE(values, 1000000u);
}
