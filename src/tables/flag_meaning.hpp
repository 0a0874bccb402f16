// Flag tables read as flags. The table of a flag element lists bit numbers,
// bit 1 the most significant of the element's width, so a value means every
// entry of its set bits, not the entry of the value itself.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "table_set.hpp"

namespace tarvane {

// "FLAG TABLE", "Flag table" (ecCodes and WMO spellings).
bool is_flag_unit(std::string_view unit);

// The entries of the set bits of raw, a value of width bits, in bit order
// joined by "; "; None when no set bit has an entry. A missing value (all
// bits set, outside class 31) has no meaning: that verdict is the decoder's,
// so class 31's indicators keep the meaning of their one bit.
std::optional<std::string> flag_meaning(const CodeTable& codes, uint32_t width, uint64_t raw);

// Which descriptors of a decoding are flag elements with a table. A message
// holds a few dozen distinct elements: a small direct-mapped cache in front
// of the table set's index looks each up about once.
class FlagElements {
 public:
  explicit FlagElements(const TableSet& tables) : index_(tables.element_index()) {}

  // The element of code when it is a flag element with a table, else nullptr.
  const ElementInfo* find(uint32_t code) {
    Slot& s = slots_[(code * 0x9E3779B1u) >> (32 - kSlotBits)];
    if (s.code != code) [[unlikely]]
      s = Slot{code, lookup(code)};
    return s.info;
  }

 private:
  static constexpr unsigned kSlotBits = 8;
  struct Slot {
    uint32_t code = UINT32_MAX;  // no descriptor code
    const ElementInfo* info = nullptr;
  };
  const ElementInfo* lookup(uint32_t code) const;

  const ElementIndex& index_;
  std::array<Slot, size_t{1} << kSlotBits> slots_{};
};

}  // namespace tarvane
