// ecCodes table directories: element.table, sequence.def, codetables/,
// matching_files and alias resolution, on fixtures and scratch directories.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "error.hpp"
#include "tables/loaders.hpp"
#include "test_tables_util.hpp"

namespace tarvane {
namespace {

using testing::error_text;
using testing::table_fixture;
using testing::TempDir;

TEST(EccodesDir, LoadsFixtureExactly) {
  auto r = from_eccodes_dir(table_fixture("eccodes_dir"));
  ASSERT_TRUE(r) << error_text(r);
  const TableSet& t = *r;
  EXPECT_EQ(t.elements.size(), 6u);  // 004001 is defined twice

  const ElementDefinition* block = t.find_element(1001);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->abbreviation, "blockNumber");
  EXPECT_EQ(block->element_type, "long");
  EXPECT_EQ(block->name, "WMO BLOCK NUMBER");
  EXPECT_EQ(block->unit, "Numeric");
  EXPECT_EQ(block->width, 7);

  // Code written with spaces and quotes around it.
  ASSERT_NE(t.find_element(12101), nullptr);
  EXPECT_EQ(t.find_element(12101)->scale, 2);
  EXPECT_EQ(t.find_element(10004)->scale, -1);
  // A quoted field keeps its delimiter and its doubled quotes become one.
  EXPECT_EQ(t.find_element(1015)->name, "STATION, OR \"SITE\" NAME");
  // The later definition of a code wins.
  EXPECT_EQ(t.find_element(4001)->name, "YEAR (second definition)");
  EXPECT_EQ(t.find_element(4001)->reference, -1024);

  // Statements on one or several lines, trailing comma, empty list, redefinition.
  EXPECT_EQ(t.sequences.size(), 4u);
  EXPECT_EQ(t.find_sequence(301011)->members, (std::vector<uint32_t>{4001, 4002, 4003}));
  EXPECT_EQ(t.find_sequence(301001)->members, (std::vector<uint32_t>{1001, 1002}));
  EXPECT_TRUE(t.find_sequence(301013)->members.empty());
  EXPECT_EQ(t.find_sequence(300002)->members, (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(t.find_sequence(301999), nullptr);  // a statement without '='

  // Code tables: 1003.table sorts after 001003.table and replaces it whole.
  EXPECT_EQ(t.code_tables.size(), 2u);
  ASSERT_NE(t.code_meaning(1003, 2), nullptr);
  EXPECT_EQ(*t.code_meaning(1003, 2), "Mixed station");
  EXPECT_EQ(*t.code_meaning(1003, 1), "REGION ONE");
  EXPECT_EQ(*t.code_meaning(1003, 7), "Seven");
  EXPECT_EQ(t.code_meaning(1003, 5), nullptr);  // two words only
  EXPECT_EQ(t.code_meaning(1003, 6), nullptr);  // comment
  EXPECT_EQ(t.code_meaning(1003, 3), nullptr);
  EXPECT_EQ(*t.code_meaning(20012, 1), "CIRROCUMULUS");  // CR LF lines
  EXPECT_EQ(t.code_meaning(99999, 0), nullptr);
}

TEST(EccodesDir, CodeTablesAreOptional) {
  TempDir d;
  d.write("element.table", "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7\n");
  d.write("sequence.def", "");
  auto r = from_eccodes_dir(d.path());
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_EQ(r->elements.size(), 1u);
  EXPECT_TRUE(r->code_tables.empty());
}

TEST(EccodesDir, MissingFilesFailInOrder) {
  TempDir d;
  // No element.table: a Parse error carrying the system's text, before
  // sequence.def is looked at.
  EXPECT_EQ(error_text(from_eccodes_dir(d.path())),
            "csv/table parse error: No such file or directory (os error 2)");
  d.write("element.table", "001001|a|long|N|U|0|0|7\n");
  EXPECT_EQ(error_text(from_eccodes_dir(d.path())), "io error: No such file or directory (os error 2)");
  d.write("sequence.def", "");
  d.write("codetables", "a file where a directory belongs");
  EXPECT_EQ(error_text(from_eccodes_dir(d.path())), "io error: Not a directory (os error 20)");
  EXPECT_EQ(error_text(from_eccodes_dir(d / "missing")),
            "csv/table parse error: No such file or directory (os error 2)");
}

struct BadFile {
  std::string name;
  std::string content;
  std::string error;
};

// Writes a valid directory, then replaces one file and loads it.
std::string load_with(const BadFile& bad) {
  TempDir d;
  d.write("element.table", "001001|a|long|N|U|0|0|7\n");
  d.write("sequence.def", "301001 = [001001]\n");
  d.write(bad.name, bad.content);
  return error_text(from_eccodes_dir(d.path()));
}

TEST(EccodesDir, MalformedFilesReportTheirError) {
  const std::vector<BadFile> cases = {
      {"element.table", "001001|a|b|c|d|0|0|7|x|y|z\n001002|a|b|c|d|0|0\n",
       "csv/table parse error: CSV error: record 1 (line: 2, byte: 27): found record with 7 fields, but the "
       "previous record has 11 fields"},
      {"element.table", "001001|a|b|c|d|0|0| 7\n", "csv/table parse error: bad u16 \" 7\": invalid digit found in string"},
      {"element.table", "001001|a|b|c|d|0|0|-2\n", "csv/table parse error: bad u16 \"-2\": invalid digit found in string"},
      {"element.table", "001001|a|b|c|d|0|0|65536\n",
       "csv/table parse error: bad u16 \"65536\": number too large to fit in target type"},
      {"element.table", "001001|a|b|c|d|x|0|7\n", "csv/table parse error: bad i32 \"x\": invalid digit found in string"},
      {"element.table", "001001|a|b|c|d|0|1.5|7\n", "csv/table parse error: bad i64 \"1.5\": invalid digit found in string"},
      {"element.table", "0010O1|a|b|c|d|0|0|7\n",
       "csv/table parse error: bad descriptor code \"0010O1\": invalid digit found in string"},
      {"element.table", "001001|a|b|c\xE9|d|0|0|7\n",
       "csv/table parse error: CSV parse error: record 0 (line 1, field: 3, byte: 0): invalid utf-8: invalid UTF-8 in "
       "field 3 near byte index 1"},
      {"sequence.def", "301001 = 001001, 001002]\n", "csv/table parse error: 301001 = 001001, 001002]"},
      {"sequence.def", "301001 = ]001001[\n", "csv/table parse error: 301001 = ]001001["},
      {"sequence.def", "\"301001\" = [001001,\n  x1002 ]\n",
       "csv/table parse error: bad descriptor code \"x1002\": invalid digit found in string"},
      {"sequence.def", "\"30 1001\" = [001001]\n",
       "csv/table parse error: bad descriptor code \"30 1001\": invalid digit found in string"},
      {"sequence.def", "301001 = [001001]\n\xFF\n", "io error: stream did not contain valid UTF-8"},
      // A file cut short loses no statement silently.
      {"sequence.def", "301001 = [001001]\n\n# note\n\"301002\" = [ 001001,\n  001002\n",
       "csv/table parse error: sequence.def statement from line 4 has no closing \"]\": \"301002\" = [ 001001, 001002"},
      {"sequence.def", "301001 = [001001]\nend\n",
       "csv/table parse error: sequence.def statement from line 2 has no closing \"]\": end"},
      // File text in an error is cut to 200 bytes.
      {"sequence.def", "301001 = " + std::string(300, '1') + "]\n",
       "csv/table parse error: 301001 = " + std::string(191, '1') + "... (310 bytes)"},
      {"element.table", std::string(300, 'x') + "|a|b|c|d|0|0|7\n",
       "csv/table parse error: bad descriptor code \"" + std::string(200, 'x') + "\"... (300 bytes): invalid digit found in string"},
      {"codetables/1003.table", std::string(150, 'x') + "\xC3\xA9" + std::string(150, 'x') + " 1 A\n",
       "csv/table parse error: bad code table key \"" + std::string(150, 'x') + "\u00e9" + std::string(48, 'x') +
           "\"... (302 bytes): invalid digit found in string"},
      {"codetables/1003.table", "x 1 Something\n",
       "csv/table parse error: bad code table key \"x\": invalid digit found in string"},
      {"codetables/1003.table", "-7 7 Minus\n",
       "csv/table parse error: bad code table key \"-7\": invalid digit found in string"},
      {"codetables/1003.table", "18446744073709551616 0 Too big\n",
       "csv/table parse error: bad code table key \"18446744073709551616\": number too large to fit in target type"},
      {"codetables/1003.table", "1 1 caf\xC3\n", "io error: stream did not contain valid UTF-8"},
      {"codetables/abc.table", "1 1 A\n", "csv/table parse error: bad descriptor code \"abc\": invalid digit found in string"},
      {"codetables/.table", "1 1 A\n",
       "csv/table parse error: bad descriptor code \".table\": invalid digit found in string"},
      {"codetables/1003.table/inner", "a directory named like a table", "io error: Is a directory (os error 21)"},
  };
  for (const BadFile& c : cases) EXPECT_EQ(load_with(c), c.error) << c.name << ": " << c.content;
}

TEST(EccodesDir, ErrorsNameTheFileBeingLoaded) {
  TempDir d;
  auto r = from_eccodes_dir(d.path());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().path, d / "element.table");
  d.write("element.table", "001001|a|long|N|U|0|0|7\n");
  r = from_eccodes_dir(d.path());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().path, d / "sequence.def");
  d.write("sequence.def", "");
  d.write("codetables/1003.table", "x 1 Something\n");
  r = from_eccodes_dir(d.path());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().path, d / "codetables/1003.table");
  EXPECT_EQ(error_text(r), "csv/table parse error: bad code table key \"x\": invalid digit found in string");
}

TEST(EccodesDir, ShortRecordsUnderALongerFirstRecordLoad) {
  // As in ecCodes' local tables: 11 fields, then records with the 8 read.
  TempDir d;
  // A blank before the line end is not part of the width.
  d.write("element.table", "001001|a|long|N|U|0|0|7|x|0|3\n001002|b|long|M|U|1|-5|9 \n001003|c|long|L|U|0|0|4|x|0\n");
  d.write("sequence.def", "");
  auto r = from_eccodes_dir(d.path());
  ASSERT_TRUE(r) << error_text(r);
  ASSERT_EQ(r->elements.size(), 3u);
  EXPECT_EQ(r->find_element(1002)->reference, -5);
  EXPECT_EQ(r->find_element(1002)->width, 9);
}

TEST(EccodesDir, LenientInputLoadsWithoutError) {
  TempDir d;
  // Seven fields: every record skipped. A bad key on a two-word line and
  // ignored files in codetables/ are not errors.
  d.write("element.table", "001001|a|long|N|U|0|0\n001002|a|long|N|U|0|0\n");
  d.write("sequence.def", "# 301001 = [001001]\n301002 [001001]\n");
  d.write("codetables/1003.table", "x 1\n\n#\n3 3 Three\n");
  d.write("codetables/README", "not a table\n");
  d.write("codetables/2001.txt", "x x x\n");
  auto r = from_eccodes_dir(d.path());
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_TRUE(r->elements.empty());
  EXPECT_TRUE(r->sequences.empty());
  EXPECT_EQ(r->code_tables.size(), 1u);
  EXPECT_EQ(*r->code_meaning(1003, 3), "Three");
}

TEST(EccodesDir, LoadersAddToOneSetLaterWins) {
  TempDir d;
  std::string first = d.write("a/element.table", "001001|a|long|FIRST|U|0|0|7\n001002|a|long|KEPT|U|0|0|7\n");
  std::string second = d.write("b/element.table", "001001|a|long|SECOND|U|0|0|7\n");
  std::string codes_a = d.write("ca/1003.table", "1 1 one\n2 2 two\n");
  d.write("cb/1003.table", "3 3 three\n");
  TableSet t;
  ASSERT_TRUE(load_eccodes_element_table(t, first));
  ASSERT_TRUE(load_eccodes_element_table(t, second));
  EXPECT_EQ(t.find_element(1001)->name, "SECOND");
  EXPECT_EQ(t.find_element(1002)->name, "KEPT");
  ASSERT_TRUE(load_eccodes_code_tables(t, d / "ca"));
  ASSERT_TRUE(load_eccodes_code_tables(t, d / "cb"));
  // The code table is replaced whole, not merged.
  EXPECT_EQ(t.code_meaning(1003, 1), nullptr);
  EXPECT_EQ(*t.code_meaning(1003, 3), "three");
  (void)codes_a;
}

TEST(MatchingFiles, FiltersAndSorts) {
  TempDir d;
  for (const char* name : {"b.table", "a.table", "A.table", "x.tab", "table", "sub.table/f", "\xFF.table"}) {
    d.write(name, "");
  }
  auto r = matching_files(d.path(), "", ".table");
  ASSERT_TRUE(r) << error_text(r);
  // Byte order; the entry's kind is not checked; a non-UTF-8 name still
  // ends in ".table" after replacement.
  EXPECT_EQ(*r, (std::vector<std::string>{d / "A.table", d / "a.table", d / "b.table", d / "sub.table",
                                          d / "\xFF.table"}));
  auto prefixed = matching_files(d.path(), "a", ".table");
  ASSERT_TRUE(prefixed);
  EXPECT_EQ(*prefixed, std::vector<std::string>{d / "a.table"});
  EXPECT_EQ(error_text(matching_files(d / "nope", "", "")), "io error: No such file or directory (os error 2)");
  EXPECT_EQ(error_text(matching_files(d / "a.table", "", "")), "io error: Not a directory (os error 20)");
}

TEST(ResolveTableDir, DirectoriesAliasesAndFailures) {
  TempDir d;
  d.mkdir("36");
  d.write("37", "  36\n");
  d.write("38", "37");
  d.write("up", "../36");
  d.write("back", "a\\b");
  d.write("blank", " \n");
  d.write("cycle_a", "cycle_b");
  d.write("cycle_b", "cycle_a");
  d.write("dangling", "99");
  d.write("bad_utf8", "3\xFF");
  EXPECT_EQ(*resolve_eccodes_table_dir(d / "36"), d / "36");
  EXPECT_EQ(*resolve_eccodes_table_dir(d / "37"), d / "36");
  EXPECT_EQ(*resolve_eccodes_table_dir(d / "38"), d / "36");
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(d / "up")),
            "csv/table parse error: invalid ecCodes table alias " + d / "up" + " -> \"../36\"");
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(d / "back")),
            "csv/table parse error: invalid ecCodes table alias " + d / "back" + " -> \"a\\\\b\"");
  for (const char* dots : {".", ".."}) {
    std::string alias = d.write(std::string("dots") + dots, dots);
    EXPECT_EQ(error_text(resolve_eccodes_table_dir(alias)),
              "csv/table parse error: invalid ecCodes table alias " + alias + " -> \"" + dots + "\"");
  }
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(d / "blank")),
            "csv/table parse error: invalid ecCodes table alias " + d / "blank" + " -> \"\"");
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(d / "dangling")),
            "csv/table parse error: ecCodes table directory does not exist: " + d / "99");
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(d / "nothing")),
            "csv/table parse error: ecCodes table directory does not exist: " + d / "nothing");
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(d / "bad_utf8")), "io error: stream did not contain valid UTF-8");
  // A cycle ends at the chain limit with the alias message.
  std::string cycle = error_text(resolve_eccodes_table_dir(d / "cycle_a"));
  EXPECT_TRUE(cycle.starts_with("csv/table parse error: invalid ecCodes table alias " + d.path() + "/cycle_"))
      << cycle;
}

TEST(ResolveTableDir, LongAliasTextIsCutInItsError) {
  TempDir d;
  std::string alias = d.write("37", std::string(5000, 'a'));
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(alias)), "csv/table parse error: invalid ecCodes table alias " +
                                                               alias + " -> \"" + std::string(200, 'a') +
                                                               "\"... (5000 bytes)");
}

TEST(ResolveTableDir, LongChainWithinLimitResolves) {
  TempDir d;
  d.mkdir("0");
  for (int i = 1; i <= 32; ++i) d.write(std::to_string(i), std::to_string(i - 1));
  EXPECT_EQ(*resolve_eccodes_table_dir(d / "32"), d / "0");
  d.write("33", "32");
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(d / "33")),
            "csv/table parse error: invalid ecCodes table alias " + d / "1" + " -> \"0\"");
}

TEST(ResolveTableDir, UnreadableAliasIsIo) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  TempDir d;
  std::string alias = d.write("37", "36");
  ::chmod(alias.c_str(), 0);
  EXPECT_EQ(error_text(resolve_eccodes_table_dir(alias)), "io error: Permission denied (os error 13)");
}

}  // namespace
}  // namespace tarvane
