// Arbitrary descriptor lists expanded against a small hand-made Table D that
// includes self-reference and wide replication.
#include <cstdint>
#include <cstring>
#include <vector>

#include "tables/expand.hpp"

namespace {

const tarvane::TableSet& tables() {
  static const tarvane::TableSet t = [] {
    tarvane::TableSet s;
    s.insert_sequence({300002, {2, 3}});
    s.insert_sequence({301001, {1001, 1002}});
    s.insert_sequence({301011, {4001, 4002, 4003}});
    s.insert_sequence({302000, {101255, 301001}});
    s.insert_sequence({302001, {102000, 31001, 302000, 1001}});
    s.insert_sequence({303000, {303000}});                 // contains itself
    s.insert_sequence({303001, {303002, 1001}});
    s.insert_sequence({303002, {303001}});                 // a cycle through two
    s.insert_sequence({304000, {}});
    s.insert_sequence({305000, {204007, 1001, 31021, 204000}});
    return s;
  }();
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each 3 bytes form one descriptor: F (0..4) and X, Y from the others;
  // biased towards codes the table knows.
  std::vector<uint32_t> list;
  for (size_t i = 0; i + 3 <= size && list.size() < 64; i += 3) {
    uint32_t f = data[i] % 5;
    uint32_t x = data[i + 1] % 64;
    uint32_t y = data[i + 2];
    if (f == 3) x = 0 + (data[i + 1] % 6), y = data[i + 2] % 12;
    list.push_back(f * 100000 + x * 1000 + y);
  }
  (void)tarvane::expand_descriptors(tables(), list);
  return 0;
}
