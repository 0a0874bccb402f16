// Finding messages in a buffer that may hold junk, damaged messages and
// messages of any edition, one at a time, without giving up at the first
// bad one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tarvane {

// One stretch of the buffer that starts at a "BUFR" marker. When problem is
// empty, [offset, offset + length) is framed: its declared length fits the
// buffer and it ends in "7777". Otherwise the stretch cannot be a message
// (length is the number of octets to skip: the marker itself), and problem
// says why.
struct Piece {
  static constexpr size_t kNone = SIZE_MAX;
  size_t offset = kNone;  // kNone: no marker at or after the start
  size_t length = 0;
  std::string problem;
  // The declared length runs past the end of the buffer: a reader of a
  // stream should read more before deciding.
  bool needs_more = false;
  size_t declared_length = 0;
};

// The first piece at or after position from.
Piece next_piece(std::span<const uint8_t> buffer, size_t from);

}  // namespace tarvane
