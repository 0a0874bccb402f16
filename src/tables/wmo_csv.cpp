// The WMO BUFR4 CSV tables: Table B in BUFRCREX_TableB_en_*.csv, Table D in
// BUFR_TableD_en_*.csv, columns taken by position, first row a header.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "csv.hpp"
#include "loaders.hpp"
#include "table_text.hpp"

namespace tarvane {

namespace {

std::string element_type_for_unit(std::string_view unit) {
  if (unit == "Code table") return "code";
  if (unit == "Flag table") return "flags";
  if (unit == "CCITT IA5") return "string";
  return "long";
}

Status load_table_b_file(TableSet& tables, const std::string& path, std::string& text) {
  TARVANE_CHECK(read_csv_file(path, text));
  CsvReader reader(text, CsvSettings{',', false});
  std::vector<std::string_view> fields;
  TARVANE_TRY(bool has_header, reader.next(fields));
  if (!has_header) return {};
  for (;;) {
    TARVANE_TRY(bool more, reader.next(fields));
    if (!more) return {};
    if (fields.size() < 8) continue;
    ElementDefinition def;
    TARVANE_TRY(def.code, parse_code(fields[2]));
    def.element_type = element_type_for_unit(fields[4]);
    def.name = fields[3];
    def.unit = fields[4];
    TARVANE_TRY(def.scale, parse_i32(fields[5]));
    TARVANE_TRY(def.reference, parse_i64(fields[6]));
    TARVANE_TRY(def.width, parse_u16(fields[7]));
    tables.insert_element(std::move(def));
  }
}

Status load_table_d_file(TableSet& tables, const std::string& path, std::string& text) {
  TARVANE_CHECK(read_csv_file(path, text));
  CsvReader reader(text, CsvSettings{',', false});
  std::vector<std::string_view> fields;
  std::unordered_map<uint32_t, std::vector<uint32_t>> members;
  TARVANE_TRY(bool has_header, reader.next(fields));
  if (!has_header) return {};
  for (;;) {
    TARVANE_TRY(bool more, reader.next(fields));
    if (!more) break;
    if (fields.size() < 6) continue;
    TARVANE_TRY(uint32_t code, parse_code(fields[2]));
    TARVANE_TRY(uint32_t member, parse_code(fields[5]));
    members[code].push_back(member);  // runs of one sequence need not be adjacent
  }
  // A sequence of this file replaces one from an earlier file whole.
  for (auto& [code, list] : members) tables.insert_sequence(SequenceDefinition{code, std::move(list)});
  return {};
}

Result<TableSet> read_bufr4_45(const std::string& dir) {
  TableSet tables;
  std::string text;
  TARVANE_TRY(auto b_files, matching_files(dir, "BUFRCREX_TableB_en_", ".csv"));
  for (const std::string& path : b_files) TARVANE_CHECK(at_path(load_table_b_file(tables, path, text), path));
  TARVANE_TRY(auto d_files, matching_files(dir, "BUFR_TableD_en_", ".csv"));
  for (const std::string& path : d_files) TARVANE_CHECK(at_path(load_table_d_file(tables, path, text), path));
  return tables;
}

}  // namespace

Result<TableSet> from_bufr4_45(const std::string& dir) { return at_path(read_bufr4_45(dir), dir); }

}  // namespace tarvane
