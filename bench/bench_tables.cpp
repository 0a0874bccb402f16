// Table loading costs: every decode_values call loads its tables afresh, so
// a full master directory (with its ~500 code tables) must load in a few ms.
#include <benchmark/benchmark.h>

#include <dirent.h>

#include <cstdlib>
#include <string>

#include "tables/loaders.hpp"

namespace {

const char* kWmoRoot = "/usr/share/eccodes/definitions/bufr/tables/0/wmo";

// The highest numbered master version installed, or "" when there is none.
std::string latest_master_dir() {
  DIR* d = opendir(kWmoRoot);
  if (d == nullptr) return "";
  long best = -1;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    long v = std::strtol(e->d_name, &end, 10);
    if (end != e->d_name && *end == '\0' && v > best) best = v;
  }
  closedir(d);
  return best < 0 ? "" : std::string(kWmoRoot) + "/" + std::to_string(best);
}

void BM_FromEccodesDir(benchmark::State& state) {
  std::string dir = latest_master_dir();
  if (dir.empty()) {
    state.SkipWithError("no ecCodes master tables installed");
    return;
  }
  size_t elements = 0, code_tables = 0;
  for (auto _ : state) {
    auto tables = tarvane::from_eccodes_dir(dir);
    if (!tables) {
      state.SkipWithError(tables.error().display().c_str());
      return;
    }
    elements = tables->elements.size();
    code_tables = tables->code_tables.size();
    benchmark::DoNotOptimize(tables);
  }
  state.SetLabel(dir);
  state.counters["elements"] = static_cast<double>(elements);
  state.counters["code_tables"] = static_cast<double>(code_tables);
}
BENCHMARK(BM_FromEccodesDir)->Unit(benchmark::kMillisecond);

void BM_FromBufr4_45(benchmark::State& state) {
  std::string dir = std::string(TARVANE_SOURCE_DIR) + "/python/tarvane/tables/wmo-bufr4-v45";
  size_t elements = 0, sequences = 0;
  for (auto _ : state) {
    auto tables = tarvane::from_bufr4_45(dir);
    if (!tables) {
      state.SkipWithError(tables.error().display().c_str());
      return;
    }
    elements = tables->elements.size();
    sequences = tables->sequences.size();
    benchmark::DoNotOptimize(tables);
  }
  state.counters["elements"] = static_cast<double>(elements);
  state.counters["sequences"] = static_cast<double>(sequences);
}
BENCHMARK(BM_FromBufr4_45)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
