// Arbitrary file text through each table loader. The first byte chooses the
// loader; the rest is written as that loader's file in a scratch directory.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tables/expand.hpp"
#include "tables/loaders.hpp"

namespace {

const std::string& scratch() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/tarvane-fuzz-tables-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    std::string d(made);
    mkdir((d + "/codetables").c_str(), 0700);
    mkdir((d + "/csv").c_str(), 0700);
    mkdir((d + "/alias").c_str(), 0700);
    mkdir((d + "/alias/36").c_str(), 0700);
    return d;
  }();
  return dir;
}

void write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string& dir = scratch();
  const uint8_t which = data[0] % 6;
  ++data;
  --size;
  tarvane::TableSet tables;
  switch (which) {
    case 0:
      write(dir + "/element.table", data, size);
      (void)tarvane::load_eccodes_element_table(tables, dir + "/element.table");
      break;
    case 1:
      write(dir + "/sequence.def", data, size);
      (void)tarvane::load_eccodes_sequence_def(tables, dir + "/sequence.def");
      break;
    case 2:
      write(dir + "/codetables/1003.table", data, size);
      (void)tarvane::load_eccodes_code_tables(tables, dir + "/codetables");
      break;
    case 3:
      write(dir + "/csv/BUFRCREX_TableB_en_00.csv", data, size);
      write(dir + "/csv/BUFR_TableD_en_00.csv", data, size);
      (void)tarvane::from_bufr4_45(dir + "/csv");
      break;
    case 4: {
      // An alias file, possibly naming itself, a sibling or a chain.
      write(dir + "/alias/37", data, size);
      write(dir + "/alias/38", reinterpret_cast<const uint8_t*>("37"), 2);
      (void)tarvane::resolve_eccodes_table_dir(dir + "/alias/38");
      break;
    }
    default: {
      // A whole directory: element.table and sequence.def from halves.
      size_t half = size / 2;
      write(dir + "/element.table", data, half);
      write(dir + "/sequence.def", data + half, size - half);
      auto t = tarvane::from_eccodes_dir(dir);
      if (t) {
        for (const auto& [code, seq] : t->sequences) (void)tarvane::expand_descriptors(*t, seq.members);
      }
      break;
    }
  }
  return 0;
}
