// Decoding throughput of the core alone: every edition-4 message of the
// bundled corpus decoded to records, tables loaded once per table version
// outside the timing. items_per_second is records per second.
#include <benchmark/benchmark.h>
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "data/decode.hpp"
#include "data/to_columns.hpp"
#include "data/walk.hpp"
#include "fileio.hpp"
#include "message/message.hpp"
#include "tables/loaders.hpp"
#include "bench_corpus.hpp"

namespace {

using namespace tarvane;
using namespace tarvane::bench;

const char* kDefinitions = "/usr/share/eccodes/definitions";

struct Item {
  std::vector<uint8_t> bytes;  // the message alone
  BufrMessage message;
  const TableSet* tables = nullptr;
  size_t records = 0;
};

struct Corpus {
  std::map<std::tuple<int, int, int, int, int>, std::unique_ptr<TableSet>> tables;
  std::vector<Item> items;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus c;
    for (const auto& path : corpus_files()) {
      auto data = read_file(path);
      if (!data) continue;
      for (auto span : candidate_messages(*data)) {
        auto m = parse_message(span);
        if (!m) continue;
        auto key = std::make_tuple(m->master_table_number, m->master_tables_version_number,
                                   m->local_tables_version_number, m->originating_centre, m->originating_subcentre);
        auto& slot = c.tables[key];
        if (!slot) {
          auto t = from_eccodes_definitions(kDefinitions, *m);
          if (!t) continue;
          slot = std::make_unique<TableSet>(std::move(*t));
        }
        Item item{std::vector<uint8_t>(span.begin(), span.end()), *m, slot.get(), 0};
        auto r = decode_uncompressed_values(item.message, *item.tables, section4_payload(item.message, item.bytes));
        if (!r) continue;  // damaged or unsupported: not a throughput case
        item.records = r->values.size();
        c.items.push_back(std::move(item));
      }
    }
    return c;
  }();
  return c;
}

// 0 all, 1 uncompressed, 2 compressed, 3 uncompressed by the recursive walk
// (the compiled walk's reference)
void run(benchmark::State& state, int which) {
  const bool recursive = which == 3;
  if (recursive) which = 1;
  const Corpus& c = corpus();
  size_t records = 0, messages = 0, bytes = 0;
  for (const Item& item : c.items) {
    if ((which == 1 && item.message.compressed_data) || (which == 2 && !item.message.compressed_data)) continue;
    records += item.records;
    messages += 1;
    bytes += item.message.section4_data_length;
  }
  if (messages == 0) {
    state.SkipWithError("no decodable corpus messages (tables under /usr/share/eccodes/definitions?)");
    return;
  }
  for (auto _ : state) {
    for (const Item& item : c.items) {
      if ((which == 1 && item.message.compressed_data) || (which == 2 && !item.message.compressed_data)) continue;
      auto payload = section4_payload(item.message, item.bytes);
      auto r = recursive ? decode_uncompressed_values_recursive(item.message, *item.tables, payload)
                         : decode_uncompressed_values(item.message, *item.tables, payload);
      benchmark::DoNotOptimize(r);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["messages"] = static_cast<double>(messages);
  state.counters["records"] = static_cast<double>(records);
}

// The reading layer's path for compressed messages: decode_columns as
// tarvane.Message.decode calls it (no raw, no meanings).
void BM_DecodeColumnsCompressed(benchmark::State& state) {
  const Corpus& c = corpus();
  size_t records = 0;
  for (const Item& item : c.items) records += item.message.compressed_data ? item.records : 0;
  DecodeResult scratch;
  for (auto _ : state) {
    for (const Item& item : c.items) {
      if (!item.message.compressed_data) continue;
      auto r = decode_columns(item.message, *item.tables, section4_payload(item.message, item.bytes), scratch, false);
      benchmark::DoNotOptimize(r);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
  state.counters["records"] = static_cast<double>(records);
}

void BM_DecodeCorpus(benchmark::State& state) { run(state, 0); }
void BM_DecodeCorpusUncompressed(benchmark::State& state) { run(state, 1); }
void BM_DecodeCorpusCompressed(benchmark::State& state) { run(state, 2); }
void BM_DecodeCorpusUncompressedRecursive(benchmark::State& state) { run(state, 3); }

}  // namespace

BENCHMARK(BM_DecodeCorpus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeCorpusUncompressed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeCorpusCompressed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeCorpusUncompressedRecursive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeColumnsCompressed)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
