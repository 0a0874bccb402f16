// A TableSet as a flat byte string and back, so that a loaded set can travel
// to another process (pickling for worker pools) without re-reading files.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "../error.hpp"
#include "table_set.hpp"

namespace tarvane {

// Little-endian, versioned by a leading tag; the layout is private to this
// build's readers and writers.
std::string table_set_to_bytes(const TableSet& tables);

// Bytes may come from anywhere (a pickle is untrusted): every count and
// length is checked against what is left, and trailing bytes are refused.
[[nodiscard]] Result<TableSet> table_set_from_bytes(std::span<const uint8_t> bytes);

// The entries of bytes inserted into tables, each replacing one under the
// same code (as a local table replaces master entries). On failure tables
// may hold part of the bytes' entries.
[[nodiscard]] Status add_table_bytes(TableSet& tables, std::span<const uint8_t> bytes);

}  // namespace tarvane
