#include "bitstream.hpp"

#include <string>

namespace tarvane {

BufrError BitReader::read_error(uint32_t width) const {
  if (width > 64) return BufrError::parse("cannot read " + std::to_string(width) + " bits into u64");
  return BufrError::parse("not enough bits while reading section 4 at bit " + std::to_string(position_) +
                          " for width " + std::to_string(width) + " (" + std::to_string(length_ * 8) +
                          " bits available)");
}

Status BitReader::read_bytes_into(uint32_t width, uint8_t* out) {
  size_t whole = width / 8;
  for (size_t k = 0; k < whole; ++k) {
    uint64_t v;
    if (!try_read(8, v)) return fail(read_error(8));
    out[k] = static_cast<uint8_t>(v);
  }
  unsigned rest = width % 8;
  if (rest != 0) {
    uint64_t v;
    if (!try_read(rest, v)) return fail(read_error(rest));
    out[whole] = static_cast<uint8_t>(v << (8 - rest));
  }
  return {};
}

Result<std::vector<uint8_t>> BitReader::read_bytes(uint16_t width) {
  std::vector<uint8_t> out((width + 7u) / 8u);
  TARVANE_CHECK(read_bytes_into(width, out.data()));
  return out;
}

}  // namespace tarvane
