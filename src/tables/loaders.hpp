// The table loaders: ecCodes table directories (element.table, sequence.def,
// codetables/), the WMO BUFR4 CSV tables and the definitions-root selection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../error.hpp"
#include "../message/message.hpp"
#include "table_set.hpp"

namespace tarvane {

// Field parsers shared by every loader.
[[nodiscard]] Result<uint32_t> parse_code(std::string_view text);
[[nodiscard]] Result<int32_t> parse_i32(std::string_view text);
[[nodiscard]] Result<int64_t> parse_i64(std::string_view text);
[[nodiscard]] Result<uint16_t> parse_u16(std::string_view text);

// Sorted paths of the entries of dir whose names start with prefix and end
// with suffix.
[[nodiscard]] Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix);

// ecCodes table directory.
[[nodiscard]] Result<TableSet> from_eccodes_dir(const std::string& dir);
[[nodiscard]] Status load_eccodes_element_table(TableSet& tables, const std::string& path);
[[nodiscard]] Status load_eccodes_sequence_def(TableSet& tables, const std::string& path);
[[nodiscard]] Status load_eccodes_code_tables(TableSet& tables, const std::string& dir);
[[nodiscard]] Result<std::string> resolve_eccodes_table_dir(const std::string& path);

// WMO BUFR4 CSV tables.
[[nodiscard]] Result<TableSet> from_bufr4_45(const std::string& dir);

// Master then local tables of a definitions root, chosen by the message.
[[nodiscard]] Result<TableSet> from_eccodes_definitions(const std::string& definitions_root, const BufrMessage& message);

}  // namespace tarvane
