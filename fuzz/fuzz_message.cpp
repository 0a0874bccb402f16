// Arbitrary bytes through the splitter and the parser of every piece.
#include <cstdint>
#include <span>

#include "message/message.hpp"
#include "message/split.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> buffer(data, size);
  (void)tarvane::parse_message(buffer);
  auto pieces = tarvane::split_messages(buffer);
  if (!pieces) return 0;
  for (auto piece : *pieces) {
    if (piece.data() < data || piece.data() + piece.size() > data + size) __builtin_trap();
    auto m = tarvane::parse_message(piece);
    if (m && m->section4_data_offset + m->section4_data_length > piece.size()) __builtin_trap();
  }
  return 0;
}
