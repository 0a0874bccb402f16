#include "split.hpp"

#include <cstring>

namespace tarvane {

Result<std::vector<std::span<const uint8_t>>> split_messages(std::span<const uint8_t> buf) {
  std::vector<std::span<const uint8_t>> slices;
  const size_t n = buf.size();
  const uint8_t* data = buf.data();
  size_t i = 0;
  while (n - i >= 4) {
    const void* found = memmem(data + i, n - i, "BUFR", 4);
    if (found == nullptr) break;
    const size_t p = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (p + 8 > n) return fail(BufrError::too_short());
    const size_t len = (size_t{data[p + 4]} << 16) | (size_t{data[p + 5]} << 8) | data[p + 6];
    if (len == 0) return fail(BufrError::too_short());
    if (len > n - p) return fail(BufrError::truncated(p, 0));
    slices.push_back(buf.subspan(p, len));
    i = p + len;
  }
  return slices;
}

}  // namespace tarvane
