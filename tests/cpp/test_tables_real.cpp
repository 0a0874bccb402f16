// The loaders on real tables: every ecCodes master directory installed by
// libeccodes-data, a master plus local selection, every Table D sequence
// expanded, and the bundled WMO BUFR4 v45 CSV tables.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fileio.hpp"
#include "tables/expand.hpp"
#include "tables/loaders.hpp"
#include "test_tables_util.hpp"

namespace tarvane {
namespace {

using testing::error_text;

const std::string kTables = std::string(testing::kSystemDefinitions) + "/bufr/tables/0";

#define SKIP_WITHOUT_ECCODES()                                                              \
  if (path_kind(kTables + "/wmo") != PathKind::Directory) GTEST_SKIP() << "no " << kTables << "/wmo"

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

// Distinct codes of the data lines of an element.table, read plainly: the
// text before the first '|' of every line that is neither empty nor a comment.
size_t distinct_element_codes(const std::string& path) {
  std::ifstream in(path);
  std::set<unsigned long> codes;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    codes.insert(std::stoul(line.substr(0, line.find('|'))));
  }
  return codes.size();
}

size_t distinct_code_table_files(const std::string& dir) {
  std::set<unsigned long> codes;
  for (const std::string& name : entries(dir)) {
    if (name.size() > 6 && name.ends_with(".table")) codes.insert(std::stoul(name));
  }
  return codes.size();
}

TEST(RealTables, EveryMasterDirectoryLoads) {
  SKIP_WITHOUT_ECCODES();
  size_t loaded = 0;
  for (const std::string& version : entries(kTables + "/wmo")) {
    std::string dir = kTables + "/wmo/" + version;
    if (path_kind(dir + "/element.table") != PathKind::Regular) continue;
    auto r = from_eccodes_dir(dir);
    ASSERT_TRUE(r) << dir << ": " << error_text(r);
    EXPECT_EQ(r->elements.size(), distinct_element_codes(dir + "/element.table")) << dir;
    EXPECT_GT(r->sequences.size(), 100u) << dir;
    EXPECT_EQ(r->code_tables.size(), distinct_code_table_files(dir + "/codetables")) << dir;
    for (const auto& [code, def] : r->elements) ASSERT_EQ(code, def.code);
    for (const auto& [code, def] : r->sequences) ASSERT_EQ(code, def.code);
    ++loaded;
  }
  EXPECT_GE(loaded, 20u);
}

TEST(RealTables, KnownEntriesComeBackAsWritten) {
  SKIP_WITHOUT_ECCODES();
  auto r = from_eccodes_dir(kTables + "/wmo/13");
  ASSERT_TRUE(r) << error_text(r);
  // 005001|latitude|double|LATITUDE (HIGH ACCURACY)|deg|5|-9000000|25|deg|5|7
  const ElementDefinition* lat = r->find_element(5001);
  ASSERT_NE(lat, nullptr);
  EXPECT_EQ(lat->abbreviation, "latitude");
  EXPECT_EQ(lat->element_type, "double");
  EXPECT_EQ(lat->name, "LATITUDE (HIGH ACCURACY)");
  EXPECT_EQ(lat->unit, "deg");
  EXPECT_EQ(lat->scale, 5);
  EXPECT_EQ(lat->reference, -9000000);
  EXPECT_EQ(lat->width, 25);
  // 007001|heightOfStation|long|HEIGHT OF STATION (SEE NOTE 1)|m|0|-400|15|m|0|5
  EXPECT_EQ(r->find_element(7001)->name, "HEIGHT OF STATION (SEE NOTE 1)");
  EXPECT_EQ(r->find_element(7001)->reference, -400);
  // 001015|stationOrSiteName|string|STATION OR SITE NAME|CCITT IA5|0|0|160|...
  EXPECT_EQ(r->find_element(1015)->unit, "CCITT IA5");
  EXPECT_EQ(r->find_element(1015)->width, 160);
  EXPECT_EQ(r->find_sequence(301011)->members, (std::vector<uint32_t>{4001, 4002, 4003}));
  // codetables/1003.table: "0 0 ATARCTICA" (sic), "1 1 REGION I"
  ASSERT_NE(r->code_meaning(1003, 0), nullptr);
  EXPECT_EQ(*r->code_meaning(1003, 0), "ATARCTICA");
  EXPECT_EQ(*r->code_meaning(1003, 1), "REGION I");
  EXPECT_EQ(*r->code_meaning(8079, 15), "MISSING VALUE");
  EXPECT_EQ(r->code_meaning(1003, 99), nullptr);
}

TEST(RealTables, MasterThirteenWithLocalTablesOfCentre98) {
  SKIP_WITHOUT_ECCODES();
  if (path_kind(kTables + "/local/101/98/0") != PathKind::Directory) GTEST_SKIP() << "no local/101/98/0";
  BufrMessage m;
  m.edition = 4;
  m.master_tables_version_number = 13;
  m.local_tables_version_number = 101;
  m.originating_centre = 98;
  m.originating_subcentre = 0;
  auto both = from_eccodes_definitions(testing::kSystemDefinitions, m);
  ASSERT_TRUE(both) << error_text(both);
  m.local_tables_version_number = 0;
  auto master = from_eccodes_definitions(testing::kSystemDefinitions, m);
  ASSERT_TRUE(master) << error_text(master);

  // 001192 is local only; 007065 is in both and the local one wins.
  EXPECT_EQ(master->find_element(1192), nullptr);
  ASSERT_NE(both->find_element(1192), nullptr);
  EXPECT_EQ(both->find_element(1192)->abbreviation, "modelVersionNumber");
  EXPECT_EQ(master->find_element(7065)->name, "WATER PRESSURE");
  EXPECT_EQ(both->find_element(7065)->unit, "m");
  EXPECT_GT(both->elements.size(), master->elements.size());
  EXPECT_EQ(master->find_sequence(301193), nullptr);
  EXPECT_NE(both->find_sequence(301193), nullptr);
  // 8079.table exists in both; the local one replaces the master's whole.
  EXPECT_EQ(*master->code_meaning(8079, 2), "AMANDMENT TO A PREVIOUSLY ISSUED PRODUCT *AMD)");
  EXPECT_EQ(*both->code_meaning(8079, 2), "AMENDMENT TO A PREVIOUSLY ISSUED PRODUCT (AMD)");
  EXPECT_EQ(both->code_meaning(8079, 15), nullptr);
  EXPECT_EQ(*both->code_meaning(13202, 0), "LAND");
}

TEST(RealTables, EverySequenceExpandsOrFailsWithANamedError) {
  SKIP_WITHOUT_ECCODES();
  size_t expanded = 0;
  for (const std::string& version : entries(kTables + "/wmo")) {
    std::string dir = kTables + "/wmo/" + version;
    if (path_kind(dir + "/element.table") != PathKind::Regular) continue;
    auto tables = from_eccodes_dir(dir);
    ASSERT_TRUE(tables) << error_text(tables);
    for (const auto& [code, def] : tables->sequences) {
      uint32_t list[] = {code};
      auto r = expand_descriptors(*tables, list);
      if (r) {
        ++expanded;
        continue;
      }
      // Table D lists may name sequences they do not define, or end a
      // delayed replication early; nothing else may go wrong.
      ErrorKind kind = r.error().kind;
      EXPECT_TRUE(kind == ErrorKind::SequenceNotFound || kind == ErrorKind::UnsupportedReplication ||
                  kind == ErrorKind::IncompleteDelayedReplication)
          << dir << " " << code << ": " << r.error().display();
    }
  }
  EXPECT_GT(expanded, 10000u);
}

TEST(RealTables, ExpandsKnownSequence) {
  SKIP_WITHOUT_ECCODES();
  auto tables = from_eccodes_dir(kTables + "/wmo/13");
  ASSERT_TRUE(tables);
  // "301014" = [  102002, 301011, 301012 ]
  uint32_t list[] = {301014};
  auto r = expand_descriptors(*tables, list);
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_EQ(*r, (std::vector<uint32_t>{4001, 4002, 4003, 4004, 4005, 4001, 4002, 4003, 4004, 4005}));
}

TEST(RealTables, WmoCsvTables) {
  std::string dir = std::string(TARVANE_TEST_DATA) + "/../../python/tarvane/tables/wmo-bufr4-v45";
  auto r = from_bufr4_45(dir);
  ASSERT_TRUE(r) << error_text(r);
  // Distinct codes of the data records, counted with an independent CSV
  // reader (Python's csv module) over the same files.
  EXPECT_EQ(r->elements.size(), 1855u);
  EXPECT_EQ(r->sequences.size(), 660u);
  EXPECT_TRUE(r->code_tables.empty());
  const ElementDefinition* lat = r->find_element(5001);
  ASSERT_NE(lat, nullptr);
  EXPECT_EQ(lat->name, "Latitude (high accuracy)");
  EXPECT_EQ(lat->unit, "deg");
  EXPECT_EQ(lat->element_type, "long");
  EXPECT_EQ(lat->scale, 5);
  EXPECT_EQ(lat->reference, -9000000);
  EXPECT_EQ(lat->width, 25);
  EXPECT_EQ(r->find_element(20003)->element_type, "code");
  EXPECT_EQ(r->find_element(20001)->scale, -1);
  EXPECT_EQ(r->find_sequence(301090)->members, (std::vector<uint32_t>{301004, 301011, 301012, 301021, 7030, 7031}));
  size_t expanded = 0;
  for (const auto& [code, def] : r->sequences) {
    uint32_t list[] = {code};
    auto e = expand_descriptors(*r, list);
    if (e) ++expanded;
  }
  EXPECT_GT(expanded, 600u);
}

}  // namespace
}  // namespace tarvane
