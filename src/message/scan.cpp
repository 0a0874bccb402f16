#include "scan.hpp"

#include <cstring>

namespace tarvane {

Piece next_piece(std::span<const uint8_t> buf, size_t from) {
  Piece piece;
  const size_t n = buf.size();
  if (from >= n || n - from < 4) return piece;
  const void* found = memmem(buf.data() + from, n - from, "BUFR", 4);
  if (found == nullptr) return piece;
  const size_t p = static_cast<size_t>(static_cast<const uint8_t*>(found) - buf.data());
  piece.offset = p;
  piece.length = 4;
  if (n - p < 8) {
    piece.problem = "message cut off after " + std::to_string(n - p) + " octets";
    piece.needs_more = true;
    return piece;
  }
  const size_t declared = (size_t{buf[p + 4]} << 16) | (size_t{buf[p + 5]} << 8) | buf[p + 6];
  piece.declared_length = declared;
  // Edition 1 has no total length in section 0; whatever stands there is
  // not one. The smallest message of editions 2 to 4 is far above 20 octets.
  if (declared < 20) {
    piece.problem = "declared length " + std::to_string(declared) + " is too short for a message (edition " +
                    std::to_string(buf[p + 7]) + ")";
    return piece;
  }
  if (declared > n - p) {
    piece.problem = "declared length " + std::to_string(declared) + " runs past the end of the data (" +
                    std::to_string(n - p) + " octets left)";
    piece.needs_more = true;
    return piece;
  }
  if (std::memcmp(buf.data() + p + declared - 4, "7777", 4) != 0) {
    piece.problem = "no 7777 at the end of the declared length " + std::to_string(declared);
    return piece;
  }
  piece.length = declared;
  return piece;
}

}  // namespace tarvane
