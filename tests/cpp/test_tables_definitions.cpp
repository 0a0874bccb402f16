// Table selection from a definitions root, and the WMO BUFR4 CSV loader, on
// fixtures and scratch directories.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/message.hpp"
#include "tables/loaders.hpp"
#include "test_tables_util.hpp"

namespace tarvane {
namespace {

using testing::error_text;
using testing::table_fixture;
using testing::TempDir;

BufrMessage message_for(uint8_t master_version, uint8_t local_version, uint16_t centre, uint16_t subcentre) {
  BufrMessage m;
  m.edition = 4;
  m.master_table_number = 0;
  m.master_tables_version_number = master_version;
  m.local_tables_version_number = local_version;
  m.originating_centre = centre;
  m.originating_subcentre = subcentre;
  return m;
}

const std::string& root() {
  static const std::string path = table_fixture("definitions");
  return path;
}

TEST(Definitions, MasterOnlyWhenLocalVersionIsZero) {
  auto r = from_eccodes_definitions(root(), message_for(36, 0, 98, 0));
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_EQ(r->elements.size(), 3u);
  EXPECT_EQ(r->find_element(1002)->name, "WMO STATION NUMBER");
  EXPECT_EQ(r->find_element(1192), nullptr);
  EXPECT_EQ(*r->code_meaning(20012, 1), "CIRROCUMULUS");
}

TEST(Definitions, LocalTablesOverrideMaster) {
  auto r = from_eccodes_definitions(root(), message_for(36, 1, 98, 0));
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_EQ(r->elements.size(), 4u);
  EXPECT_EQ(r->find_element(1001)->name, "WMO BLOCK NUMBER");       // master only
  EXPECT_EQ(r->find_element(1002)->name, "LOCAL STATION NUMBER");   // replaced
  EXPECT_EQ(r->find_element(1192)->name, "MODEL VERSION");          // added
  EXPECT_EQ(r->find_sequence(301001)->members, std::vector<uint32_t>{1002});
  EXPECT_EQ(r->find_sequence(301002)->members, std::vector<uint32_t>{1001});
  ASSERT_NE(r->find_sequence(340001), nullptr);
  // The local code table replaces the master one whole.
  EXPECT_EQ(r->code_meaning(20012, 1), nullptr);
  EXPECT_EQ(*r->code_meaning(20012, 5), "LOCAL FIVE");
  EXPECT_EQ(*r->code_meaning(1003, 0), "ANTARCTICA");
}

TEST(Definitions, PartialOrEmptyOrMissingLocalDirectories) {
  // Only element.table below local/1/98/5.
  auto partial = from_eccodes_definitions(root(), message_for(36, 1, 98, 5));
  ASSERT_TRUE(partial) << error_text(partial);
  EXPECT_EQ(partial->find_element(1002)->name, "ONLY ELEMENTS HERE");
  EXPECT_EQ(partial->find_sequence(301001)->members, (std::vector<uint32_t>{1001, 1002}));
  EXPECT_EQ(*partial->code_meaning(20012, 1), "CIRROCUMULUS");

  auto master = from_eccodes_definitions(root(), message_for(36, 0, 0, 0));
  ASSERT_TRUE(master);
  for (auto msg : {message_for(36, 2, 98, 0), message_for(36, 7, 98, 0), message_for(36, 1, 74, 0)}) {
    auto r = from_eccodes_definitions(root(), msg);
    ASSERT_TRUE(r) << error_text(r);
    EXPECT_EQ(r->elements.size(), master->elements.size());
    EXPECT_EQ(r->sequences.size(), master->sequences.size());
    EXPECT_EQ(r->code_tables.size(), master->code_tables.size());
    EXPECT_EQ(r->find_element(1002)->name, "WMO STATION NUMBER");
  }
}

TEST(Definitions, Version19UsesTheCombinedLocalName) {
  auto r = from_eccodes_definitions(root(), message_for(19, 1, 98, 0));
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_EQ(r->find_element(1001)->name, "LOCAL 19-1 BLOCK");
  auto master = from_eccodes_definitions(root(), message_for(19, 0, 98, 0));
  ASSERT_TRUE(master);
  EXPECT_EQ(master->find_element(1001)->name, "MASTER 19 BLOCK");
}

TEST(Definitions, AliasesAndFailures) {
  // 37 names 36; 38 names 37.
  for (uint8_t v : {37, 38}) {
    auto r = from_eccodes_definitions(root(), message_for(v, 0, 98, 0));
    ASSERT_TRUE(r) << error_text(r);
    EXPECT_EQ(r->elements.size(), 3u);
  }
  const std::string wmo = root() + "/bufr/tables/0/wmo/";
  EXPECT_EQ(error_text(from_eccodes_definitions(root(), message_for(30, 0, 98, 0))),
            "csv/table parse error: ecCodes table directory does not exist: " + wmo + "30");
  EXPECT_EQ(error_text(from_eccodes_definitions(root(), message_for(39, 0, 98, 0))),
            "csv/table parse error: invalid ecCodes table alias " + wmo + "39 -> \"../36\"");
  std::string cycle = error_text(from_eccodes_definitions(root(), message_for(40, 0, 98, 0)));
  EXPECT_TRUE(cycle.starts_with("csv/table parse error: invalid ecCodes table alias " + wmo + "4")) << cycle;
  BufrMessage other_master = message_for(36, 0, 98, 0);
  other_master.master_table_number = 10;
  EXPECT_EQ(error_text(from_eccodes_definitions(root(), other_master)),
            "csv/table parse error: ecCodes table directory does not exist: " + root() + "/bufr/tables/10/wmo/36");
}

TEST(Definitions, MalformedLocalEntryFailsTheCall) {
  TempDir d;
  d.write("bufr/tables/0/wmo/30/element.table", "001001|a|long|N|U|0|0|7\n");
  d.write("bufr/tables/0/wmo/30/sequence.def", "");
  d.write("bufr/tables/0/local/1/98/0/sequence.def", "340001 = [00100x]\n");
  EXPECT_EQ(error_text(from_eccodes_definitions(d.path(), message_for(30, 1, 98, 0))),
            "csv/table parse error: bad descriptor code \"00100x\": invalid digit found in string");
  d.write("bufr/tables/0/local/1/98/0/sequence.def", "");
  d.write("bufr/tables/0/local/1/98/0/codetables", "a file");
  EXPECT_EQ(error_text(from_eccodes_definitions(d.path(), message_for(30, 1, 98, 0))),
            "io error: Not a directory (os error 20)");
  // The master needs sequence.def; a local directory does not.
  d.write("bufr/tables/0/wmo/31/element.table", "001001|a|long|N|U|0|0|7\n");
  EXPECT_EQ(error_text(from_eccodes_definitions(d.path(), message_for(31, 0, 98, 0))),
            "io error: No such file or directory (os error 2)");
}

TEST(Bufr4Csv, LoadsFixture) {
  auto r = from_bufr4_45(table_fixture("wmo_csv"));
  ASSERT_TRUE(r) << error_text(r);
  const TableSet& t = *r;
  EXPECT_EQ(t.elements.size(), 7u);  // 099001 and 099002 sit in files that do not match
  EXPECT_TRUE(t.code_tables.empty());
  const ElementDefinition* block = t.find_element(1001);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->name, "WMO block number (later file)");
  EXPECT_EQ(block->abbreviation, "");
  EXPECT_EQ(block->element_type, "long");
  EXPECT_EQ(block->unit, "Numeric");
  EXPECT_EQ(block->width, 7);
  EXPECT_EQ(t.find_element(1003)->element_type, "code");
  EXPECT_EQ(t.find_element(1031)->element_type, "flags");
  EXPECT_EQ(t.find_element(1015)->element_type, "string");
  EXPECT_EQ(t.find_element(1015)->name, "Station or site name, long");
  EXPECT_EQ(t.find_element(1032)->element_type, "long");  // "code table"
  EXPECT_EQ(t.find_element(1033)->element_type, "long");  // "Code table "
  EXPECT_EQ(t.find_element(1033)->unit, "Code table ");
  EXPECT_EQ(t.find_element(12101)->scale, 2);

  EXPECT_EQ(t.sequences.size(), 3u);
  EXPECT_EQ(t.find_sequence(301011)->members, (std::vector<uint32_t>{4001, 4002, 4003}));
  EXPECT_EQ(t.find_sequence(301012)->members, (std::vector<uint32_t>{4004, 4005}));
  EXPECT_EQ(t.find_sequence(301013)->members, std::vector<uint32_t>{4006});  // replaced whole by the later file
}

TEST(Bufr4Csv, EmptyAndMissingDirectories) {
  TempDir d;
  auto empty = from_bufr4_45(d.path());
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->elements.empty() && empty->sequences.empty());
  EXPECT_EQ(error_text(from_bufr4_45(d / "missing")), "io error: No such file or directory (os error 2)");
}

const char* kHeaderB = "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,BUFR_DataWidth_Bits\n";

TEST(Bufr4Csv, MalformedFiles) {
  struct Case {
    std::string name, content, error;
  };
  const std::vector<Case> cases = {
      {"BUFRCREX_TableB_en_01.csv", std::string(kHeaderB) + "01,Id,001001,Block,Numeric, 0,0,7\n",
       "csv/table parse error: bad i32 \" 0\": invalid digit found in string"},
      {"BUFRCREX_TableB_en_01.csv", std::string(kHeaderB) + "01,Id,001001,Block,Numeric,0,0\n",
       "csv/table parse error: CSV error: record 1 (line: 2, byte: 101): found record with 7 fields, but the "
       "previous record has 8 fields"},
      {"BUFRCREX_TableB_en_01.csv", std::string(kHeaderB) + "01,Id,001001,Bl\xC0\xAF,Numeric,0,0,7\n",
       "csv/table parse error: CSV parse error: record 1 (line 2, field: 3, byte: 101): invalid utf-8: invalid UTF-8 "
       "in field 3 near byte index 2"},
      {"BUFRCREX_TableB_en_01.csv", std::string(kHeaderB) + "01,Id,0010001x,Block,Numeric,0,0,7\n",
       "csv/table parse error: bad descriptor code \"0010001x\": invalid digit found in string"},
      {"BUFR_TableD_en_01.csv", "a,b,c,d,e,f\n01,x,301011,t,s,\n",
       "csv/table parse error: bad descriptor code \"\": cannot parse integer from empty string"},
      {"BUFRCREX_TableB_en_01.csv/inner", "", "csv/table parse error: Is a directory (os error 21)"},
  };
  for (const Case& c : cases) {
    TempDir d;
    d.write(c.name, c.content);
    // Table D is not read when Table B fails, so a bad D file must not mask it.
    d.write("BUFR_TableD_en_99.csv", "\xFF\n");
    if (c.name.starts_with("BUFR_TableD")) d.write("BUFR_TableD_en_99.csv", "a,b,c,d,e,f\n");
    EXPECT_EQ(error_text(from_bufr4_45(d.path())), c.error) << c.name << ": " << c.content;
  }
}

TEST(Bufr4Csv, ShortHeaderSkipsEveryRecord) {
  TempDir d;
  d.write("BUFRCREX_TableB_en_01.csv", "a,b,c,d,e,f,g\n01,Id,001001,Block,Numeric,0,0\n");
  d.write("BUFR_TableD_en_01.csv", "a,b,c,d,e\n01,x,301011,t,s\n");
  auto r = from_bufr4_45(d.path());
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_TRUE(r->elements.empty());
  EXPECT_TRUE(r->sequences.empty());
}

}  // namespace
}  // namespace tarvane
