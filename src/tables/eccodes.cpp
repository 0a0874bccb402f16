// ecCodes table directories: element.table (Table B), sequence.def (Table
// D), the optional codetables/ directory, and alias files standing for a
// table directory.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "../fileio.hpp"
#include "../text.hpp"
#include "csv.hpp"
#include "loaders.hpp"
#include "table_text.hpp"

namespace tarvane {

namespace {

// Alias files may name further alias files; a longer chain is a cycle or a
// mistake, not a table layout.
constexpr int kMaxAliasChain = 32;
// The longest file name the system accepts (NAME_MAX): a longer alias text
// cannot name a sibling.
constexpr size_t kMaxAliasText = 255;

// Blanks left before the line end (as in ecCodes' local 19-1/254/0 table)
// are not part of a number; a leading blank still is an error.
std::string_view without_trailing_blanks(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

Status insert_statement(TableSet& tables, std::string_view statement) {
  size_t eq = statement.find('=');
  if (eq == std::string_view::npos) return {};  // not a definition
  std::string_view key = trim_ws(statement.substr(0, eq));
  while (!key.empty() && key.front() == '"') key.remove_prefix(1);
  while (!key.empty() && key.back() == '"') key.remove_suffix(1);
  TARVANE_TRY(uint32_t code, parse_code(key));
  std::string_view rest = statement.substr(eq + 1);
  size_t open = rest.find('[');
  size_t close = rest.find(']');
  // A missing bracket, or "]" before "[", leaves no member list to read.
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return fail(BufrError::parse(text_prefix(statement)));
  }
  SequenceDefinition def;
  def.code = code;
  std::string_view list = rest.substr(open + 1, close - open - 1);
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    size_t end = comma == std::string_view::npos ? list.size() : comma;
    std::string_view piece = trim_ws(list.substr(start, end - start));
    if (!piece.empty()) {
      TARVANE_TRY(uint32_t member, parse_code(piece));
      def.members.push_back(member);
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  tables.insert_sequence(std::move(def));
  return {};
}

Result<std::string> resolve_alias_chain(const std::string& path, int hops) {
  PathKind kind = path_kind(path);
  if (kind == PathKind::Directory) return path;
  std::string parent;
  if (kind != PathKind::Regular || !parent_path(path, parent)) {
    return fail(BufrError::parse("ecCodes table directory does not exist: " + lossy_utf8(path)));
  }
  std::string text;
  TARVANE_CHECK(read_file_into(path, text));
  if (!valid_utf8(text)) return fail(not_utf8_error());
  std::string_view target = trim_ws(text);
  // An alias names a sibling entry: no separators, and not "." or "..",
  // which would leave the parent directory as surely as "../36".
  bool usable = !target.empty() && target != "." && target != ".." && target.find('/') == std::string_view::npos &&
                target.find('\\') == std::string_view::npos && target.size() <= kMaxAliasText && hops < kMaxAliasChain;
  if (!usable) {
    return fail(BufrError::parse("invalid ecCodes table alias " + lossy_utf8(path) + " -> " + quoted_prefix(target)));
  }
  return resolve_alias_chain(join_path(parent, std::string(target)), hops + 1);
}

Status read_element_table(TableSet& tables, const std::string& path) {
  std::string text;
  TARVANE_CHECK(read_csv_file(path, text));
  tables.elements.reserve(tables.elements.size() + static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));
  // Some local tables write 8-field records under an 11-field header; the
  // first 8 are all that is read.
  CsvReader reader(text, CsvSettings{'|', true, 8});
  std::vector<std::string_view> fields;
  for (;;) {
    TARVANE_TRY(bool more, reader.next(fields));
    if (!more) return {};
    if (fields.size() < 8) continue;
    ElementDefinition def;
    TARVANE_TRY(def.code, parse_code(fields[0]));
    def.abbreviation = fields[1];
    def.element_type = fields[2];
    def.name = fields[3];
    def.unit = fields[4];
    TARVANE_TRY(def.scale, parse_i32(without_trailing_blanks(fields[5])));
    TARVANE_TRY(def.reference, parse_i64(without_trailing_blanks(fields[6])));
    TARVANE_TRY(def.width, parse_u16(without_trailing_blanks(fields[7])));
    tables.insert_element(std::move(def));
  }
}

Status read_sequence_def(TableSet& tables, const std::string& path) {
  std::string text;
  TARVANE_CHECK(read_file_into(path, text));
  if (!valid_utf8(text)) return fail(not_utf8_error());
  std::string statement;
  size_t pos = 0;
  size_t line_number = 0;
  size_t statement_line = 0;
  std::string_view line;
  while (next_line(text, pos, line)) {
    ++line_number;
    line = trim_ws(line);
    if (line.empty() || line.front() == '#') continue;
    if (statement.empty()) statement_line = line_number;
    if (!statement.empty()) statement += ' ';
    statement += line;
    // Only the new line can bring the first "]" of the statement.
    if (line.find(']') == std::string_view::npos) continue;
    TARVANE_CHECK(insert_statement(tables, statement));
    statement.clear();
  }
  // A file cut short would otherwise lose its last sequence without a word.
  if (!statement.empty()) {
    return fail(BufrError::parse("sequence.def statement from line " + std::to_string(statement_line) +
                                 " has no closing \"]\": " + text_prefix(statement)));
  }
  return {};
}

}  // namespace

Status load_eccodes_element_table(TableSet& tables, const std::string& path) {
  return at_path(read_element_table(tables, path), path);
}

Status load_eccodes_sequence_def(TableSet& tables, const std::string& path) {
  return at_path(read_sequence_def(tables, path), path);
}

Result<TableSet> from_eccodes_dir(const std::string& dir) {
  TableSet tables;
  TARVANE_CHECK(load_eccodes_element_table(tables, join_path(dir, "element.table")));
  TARVANE_CHECK(load_eccodes_sequence_def(tables, join_path(dir, "sequence.def")));
  std::string codetables = join_path(dir, "codetables");
  if (path_kind(codetables) != PathKind::Missing) TARVANE_CHECK(load_eccodes_code_tables(tables, codetables));
  return tables;
}

Result<std::string> resolve_eccodes_table_dir(const std::string& path) {
  return at_path(resolve_alias_chain(path, 0), path);
}

}  // namespace tarvane
