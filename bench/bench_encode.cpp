// Writing section 4 in the core beside reading it: the largest compressed
// corpus message decoded, and its records written again compressed and
// uncompressed, and read from the uncompressed writing. items_per_second is
// records per second.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <vector>

#include "bench_corpus.hpp"
#include "data/decode.hpp"
#include "encode/encode.hpp"
#include "message/message.hpp"
#include "tables/loaders.hpp"

namespace {

using namespace tarvane;
using namespace tarvane::bench;

struct Largest {
  std::vector<uint8_t> bytes;
  BufrMessage message;
  std::unique_ptr<TableSet> tables;
  DecodeResult records;
  std::vector<uint8_t> uncompressed;  // its section 4 data written uncompressed
};

std::vector<ValueSource*> record_sources(const Largest& l, std::vector<RecordSource>& sources) {
  const size_t n = l.message.number_of_subsets;
  const size_t per = l.records.values.size() / n;
  sources.clear();
  sources.reserve(n);
  std::vector<ValueSource*> pointers;
  for (size_t s = 0; s < n; ++s) {
    sources.emplace_back(l.records, s * per, (s + 1) * per);
    pointers.push_back(&sources.back());
  }
  return pointers;
}

// The compressed message with the most records, decoded once.
const std::optional<Largest>& largest() {
  static const std::optional<Largest> found = [] {
    std::optional<Largest> best;
    for (const auto& path : corpus_files()) {
      auto data = read_file(path);
      if (!data) continue;
      for (auto span : candidate_messages(*data)) {
        auto m = parse_message(span);
        if (!m || !m->compressed_data) continue;
        auto t = from_eccodes_definitions("/usr/share/eccodes/definitions", *m);
        if (!t) continue;
        auto tables = std::make_unique<TableSet>(std::move(*t));
        auto r = decode_uncompressed_values(*m, *tables, section4_payload(*m, span));
        if (!r || (best && best->records.values.size() >= r->values.size())) continue;
        best = Largest{std::vector<uint8_t>(span.begin(), span.end()), *m, std::move(tables), std::move(*r), {}};
      }
    }
    if (best) {
      std::vector<RecordSource> sources;
      auto data = encode_data(best->message.unexpanded_descriptors, *best->tables, record_sources(*best, sources), false);
      if (data) best->uncompressed = std::move(*data);
    }
    return best;
  }();
  return found;
}

void BM_DecodeLargestCompressed(benchmark::State& state) {
  const auto& l = largest();
  if (!l) return state.SkipWithError("no decodable compressed corpus message");
  for (auto _ : state) {
    auto r = decode_uncompressed_values(l->message, *l->tables, section4_payload(l->message, l->bytes));
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * l->records.values.size()));
}

// The same records read from their uncompressed writing.
void BM_DecodeLargestUncompressed(benchmark::State& state) {
  const auto& l = largest();
  if (!l || l->uncompressed.empty()) return state.SkipWithError("no decodable compressed corpus message");
  BufrMessage m = l->message;
  m.compressed_data = false;
  for (auto _ : state) {
    auto r = decode_uncompressed_values(m, *l->tables, l->uncompressed);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * l->records.values.size()));
}

void encode(benchmark::State& state, bool compressed) {
  const auto& l = largest();
  if (!l) return state.SkipWithError("no decodable compressed corpus message");
  std::vector<RecordSource> sources;
  for (auto _ : state) {
    auto data = encode_data(l->message.unexpanded_descriptors, *l->tables, record_sources(*l, sources), compressed);
    if (!data) return state.SkipWithError(data.error().display().c_str());
    benchmark::DoNotOptimize(data);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * l->records.values.size()));
  state.counters["records"] = static_cast<double>(l->records.values.size());
  state.counters["subsets"] = static_cast<double>(l->message.number_of_subsets);
}

void BM_EncodeLargestCompressed(benchmark::State& state) { encode(state, true); }
void BM_EncodeLargestUncompressed(benchmark::State& state) { encode(state, false); }

}  // namespace

BENCHMARK(BM_DecodeLargestCompressed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLargestUncompressed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeLargestCompressed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeLargestUncompressed)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
