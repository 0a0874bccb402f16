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
#include "tables/loaders.hpp"
#include "test_data_support.hpp"

using namespace tarvane;

namespace {

const char* kDefinitions = "/usr/share/eccodes/definitions";
const std::string kMessages = std::string(TARVANE_TEST_DATA) + "/corpus/messages";

const std::string kEdition3 = std::string(TARVANE_TEST_DATA) + "/corpus/edition3/messages";

// Edition-4 files, then the edition-3 ones.
std::vector<std::string> corpus_files() {
  std::vector<std::string> all;
  for (const std::string& dir : {kMessages, kEdition3}) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') out.push_back(join_path(dir, e->d_name));
      }
      closedir(d);
    }
    std::sort(out.begin(), out.end());
    all.insert(all.end(), out.begin(), out.end());
  }
  return all;
}

// Every "BUFR" marker whose declared length fits the file.
std::vector<std::span<const uint8_t>> candidates(const std::vector<uint8_t>& data) {
  std::vector<std::span<const uint8_t>> out;
  for (size_t at = 0; at + 8 <= data.size(); ++at) {
    if (std::memcmp(data.data() + at, "BUFR", 4) != 0) continue;
    size_t len = (size_t{data[at + 4]} << 16) | (size_t{data[at + 5]} << 8) | data[at + 6];
    if (len >= 8 && at + len <= data.size()) out.emplace_back(data.data() + at, len);
  }
  return out;
}

// Heap allocations (no mmap) filled with ~byte when handed out.
Result<DecodeResult> decode_perturbed(const BufrMessage& m, const TableSet& t, std::span<const uint8_t> payload,
                                      int byte) {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_PERTURB, byte);
  auto r = decode_uncompressed_values(m, t, payload);
  mallopt(M_PERTURB, 0);
  return r;
}

bool text_in_range(const DecodeResult& r, const DecodedValue& v) {
  return v.text == DecodedValue::kNoText || v.text < r.texts.size();
}

bool same_record(const DecodeResult& a, const DecodedValue& x, const DecodeResult& b, const DecodedValue& y) {
  if (!text_in_range(a, x) || !text_in_range(b, y)) return false;
  return x.descriptor == y.descriptor && a.raw_text(x) == b.raw_text(y) &&
         std::memcmp(&x.value, &y.value, sizeof(double)) == 0 && x.raw == y.raw && x.name.data() == y.name.data() &&
         x.name.size() == y.name.size() && x.meaning == y.meaning && x.has_value == y.has_value &&
         x.has_raw == y.has_raw;
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
