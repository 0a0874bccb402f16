// Real messages decoded twice give the same records. The output storage is
// not initialised before the decoders write it, so each decoding runs with
// the allocator filling new memory with a different byte: a field that some
// path leaves unwritten shows up as a difference.
#include <dirent.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fileio.hpp"
#include "data/program.hpp"
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
  std::map<std::tuple<int, int, int, int, int>, std::unique_ptr<TableSet>> tables;
  size_t decoded = 0, compressed = 0, records = 0, edition3 = 0;
  for (const auto& path : corpus_files()) {
    auto data = read_file(path);
    ASSERT_TRUE(data) << path;
    for (auto bytes : candidates(*data)) {
      auto m = parse_message_any_edition(bytes);
      if (!m) continue;
      auto key = std::make_tuple(m->master_table_number, m->master_tables_version_number,
                                 m->local_tables_version_number, m->originating_centre, m->originating_subcentre);
      auto& slot = tables[key];
      if (!slot) {
        auto t = from_eccodes_definitions(kDefinitions, *m);
        if (!t) continue;
        slot = std::make_unique<TableSet>(std::move(*t));
      }
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
  std::map<std::tuple<int, int, int, int, int>, std::unique_ptr<TableSet>> tables;
  std::vector<Item> items;
  for (const auto& path : corpus_files()) {
    auto data = read_file(path);
    ASSERT_TRUE(data) << path;
    for (auto bytes : candidates(*data)) {
      auto m = parse_message(bytes);
      if (!m) continue;
      auto key = std::make_tuple(m->master_table_number, m->master_tables_version_number,
                                 m->local_tables_version_number, m->originating_centre, m->originating_subcentre);
      auto& slot = tables[key];
      if (!slot) {
        auto t = from_eccodes_definitions(kDefinitions, *m);
        if (!t) continue;
        slot = std::make_unique<TableSet>(std::move(*t));
      }
      items.push_back({std::vector<uint8_t>(bytes.begin(), bytes.end()), std::move(*m), slot.get()});
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
  std::map<std::tuple<int, int, int, int, int>, std::unique_ptr<TableSet>> tables;
  size_t compared = 0, multi = 0, compiles = 0;
  for (const auto& path : corpus_files()) {
    auto data = read_file(path);
    ASSERT_TRUE(data) << path;
    for (auto bytes : candidates(*data)) {
      auto m = parse_message(bytes);
      if (!m || m->compressed_data) continue;
      auto key = std::make_tuple(m->master_table_number, m->master_tables_version_number,
                                 m->local_tables_version_number, m->originating_centre, m->originating_subcentre);
      auto& slot = tables[key];
      if (!slot) {
        auto t = from_eccodes_definitions(kDefinitions, *m);
        if (!t) continue;
        slot = std::make_unique<TableSet>(std::move(*t));
      }
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
