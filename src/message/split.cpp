#include "split.hpp"

#include <cstring>

namespace tarvane {

namespace {

// Calls take(slice) for every message, in buffer order.
template <typename Take>
Status frame_messages(std::span<const uint8_t> buf, Take take) {
  const size_t n = buf.size();
  const uint8_t* data = buf.data();
  size_t i = 0;
  while (n - i >= 4) {
    // Messages usually follow one another directly: check the marker in
    // place before searching for it.
    const void* found = std::memcmp(data + i, "BUFR", 4) == 0 ? data + i : memmem(data + i, n - i, "BUFR", 4);
    if (found == nullptr) break;
    const size_t p = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (p + 8 > n) return fail(BufrError::too_short());
    const size_t len = (size_t{data[p + 4]} << 16) | (size_t{data[p + 5]} << 8) | data[p + 6];
    if (len == 0) return fail(BufrError::too_short());
    if (len > n - p) return fail(BufrError::truncated(p, 0));
    take(buf.subspan(p, len));
    i = p + len;
  }
  return {};
}

}  // namespace

Result<std::vector<std::span<const uint8_t>>> split_messages(std::span<const uint8_t> buf) {
  std::vector<std::span<const uint8_t>> slices;
  TARVANE_CHECK(frame_messages(buf, [&](std::span<const uint8_t> s) { slices.push_back(s); }));
  return slices;
}

Result<std::span<const uint8_t>> first_message_slice(std::span<const uint8_t> buf) {
  std::span<const uint8_t> first;
  bool found = false;
  TARVANE_CHECK(frame_messages(buf, [&](std::span<const uint8_t> s) {
    if (!found) first = s;
    found = true;
  }));
  return first;
}

}  // namespace tarvane
