// Cutting a buffer that may hold several messages and junk into one view
// per message, by the "BUFR" markers and the declared total lengths.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../error.hpp"

namespace tarvane {

// Views into the caller's buffer, in buffer order, never overlapping.
[[nodiscard]] Result<std::vector<std::span<const uint8_t>>> split_messages(std::span<const uint8_t> buffer);

// The first message of split_messages(buffer), found with the same framing
// of the whole buffer (a framing failure anywhere still fails) but without
// a list of the rest; an empty view when there is no marker.
[[nodiscard]] Result<std::span<const uint8_t>> first_message_slice(std::span<const uint8_t> buffer);

}  // namespace tarvane
