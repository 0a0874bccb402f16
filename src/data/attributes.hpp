// Which record each record qualifies: the quality values of 2 22 000, the
// values read at the markers of 2 23 000, 2 24 000, 2 25 000 and 2 32 000
// through their data-present bitmaps, class 33 elements that follow an
// element, and the associated fields of 2 04 YYY.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "to_columns.hpp"

namespace tarvane {

struct AttributeColumns {
  // Per record, the index of the record it qualifies; -1 where none. An
  // attribute of a kind its target already has qualifies that attribute,
  // so repeated quality blocks form chains.
  Column<int32_t> refers_to;
  // Sparse: the records read at a bitmap marker, and the operator of each
  // (223255, 224255, 225255 or 232255).
  std::vector<uint32_t> marker_records;
  std::vector<uint32_t> marker_operators;
};

// From the decoded columns alone: records run subset after subset, and the
// association is found again per subset the way the decoder walked it.
AttributeColumns find_attributes(std::span<const uint32_t> descriptor, std::span<const double> value,
                                 std::span<const uint32_t> subset);

}  // namespace tarvane
