// A TableSet through its byte form: a real set comes back equal, and every
// cut or altered byte string is refused with an error, never a crash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/message.hpp"
#include "tables/loaders.hpp"
#include "tables/table_bytes.hpp"
#include "test_tables_util.hpp"

namespace tarvane {
namespace {

std::span<const uint8_t> span_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TableSet small_set() {
  TableSet t;
  t.insert_element({12101, "airTemperature", "double", "TEMPERATURE", "K", 2, -99999, 16});
  t.insert_element({1015, "stationOrSiteName", "string", "STATION NAME", "CCITT IA5", 0, 0, 160});
  t.insert_sequence({301011, {4001, 4002, 4003}});
  t.insert_code_table(20003, {{0, "Cloud development not observed"}, {511, ""}});
  return t;
}

void expect_equal(const TableSet& a, const TableSet& b) {
  ASSERT_EQ(a.elements.size(), b.elements.size());
  for (const auto& [code, e] : a.elements) {
    const ElementDefinition* f = b.find_element(code);
    ASSERT_NE(f, nullptr) << code;
    EXPECT_EQ(std::tie(e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width),
              std::tie(f->abbreviation, f->element_type, f->name, f->unit, f->scale, f->reference, f->width));
  }
  ASSERT_EQ(a.sequences.size(), b.sequences.size());
  for (const auto& [code, s] : a.sequences) EXPECT_EQ(s.members, b.find_sequence(code)->members);
  EXPECT_EQ(a.code_tables, b.code_tables);
}

TEST(TableBytes, RoundTripsSmallAndRealSets) {
  std::vector<TableSet> sets{small_set()};
  BufrMessage m;
  m.master_tables_version_number = 38;
  m.originating_centre = 98;
  if (auto real = from_eccodes_definitions(testing::kSystemDefinitions, m)) sets.push_back(std::move(*real));
  for (const TableSet& t : sets) {
    const std::string bytes = table_set_to_bytes(t);
    Result<TableSet> back = table_set_from_bytes(span_of(bytes));
    ASSERT_TRUE(back.has_value()) << back.error().display();
    expect_equal(t, *back);
    EXPECT_EQ(table_set_to_bytes(*back), bytes);
  }
}

TEST(TableBytes, RefusesEveryCutAndHostileCounts) {
  const std::string bytes = table_set_to_bytes(small_set());
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(table_set_from_bytes(span_of(bytes.substr(0, n))).has_value()) << n;
  }
  EXPECT_FALSE(table_set_from_bytes(span_of(bytes + "x")).has_value());
  // A huge element count (after the tag), or first text length.
  for (size_t at : {size_t{8}, size_t{16}}) {
    std::string bad = bytes;
    for (size_t i = at; i < at + 4; ++i) bad[i] = '\xff';
    EXPECT_FALSE(table_set_from_bytes(span_of(bad)).has_value()) << at;
  }
  // Every single-byte change either loads or fails cleanly.
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string bad = bytes;
    bad[i] = static_cast<char>(bad[i] ^ 0x5a);
    (void)table_set_from_bytes(span_of(bad));
  }
}

TEST(TableBytes, LayersInsertOverTheSetBelow) {
  TableSet local;
  local.insert_element({12101, "localTemperature", "double", "LOCAL", "K", 1, 0, 12});
  local.insert_element({25192, "localElement", "long", "LOCAL ELEMENT", "Numeric", 0, 0, 8});
  local.insert_code_table(20003, {{1, "local"}});
  TableSet tables = small_set();
  ASSERT_TRUE(add_table_bytes(tables, span_of(table_set_to_bytes(local))).has_value());
  // Entries under a present code are replaced whole, the others kept.
  EXPECT_EQ(tables.find_element(12101)->width, 12);
  EXPECT_EQ(tables.find_element(1015)->width, 160);
  EXPECT_NE(tables.find_element(25192), nullptr);
  EXPECT_EQ(tables.code_tables.at(20003), (CodeTable{{1, "local"}}));
  EXPECT_EQ(tables.find_sequence(301011)->members, (std::vector<uint32_t>{4001, 4002, 4003}));
  EXPECT_EQ(tables.element_index().find(25192)->def->width, 8);
  EXPECT_FALSE(add_table_bytes(tables, span_of("TVTABLE1")).has_value());
}

}  // namespace
}  // namespace tarvane
