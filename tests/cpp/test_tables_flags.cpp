// Flag-table values read as the entries of their set bits.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tables/flag_meaning.hpp"

namespace tarvane {
namespace {

struct FlagCase {
  uint32_t width;
  uint64_t raw;
  std::optional<std::string> meaning;
};

TEST(FlagMeaning, SetBitsFromTheMostSignificant) {
  // Bits 1, 2, 5 and 7 have entries; 3, 4 and 6 have none.
  const CodeTable codes = {{1, "one"}, {2, "two"}, {5, "five"}, {7, "seven"}, {0, "never a bit"}};
  const std::vector<FlagCase> cases = {
      {7, 0, std::nullopt},                   // no bit set
      {7, 0b1000000, "one"},                  // bit 1 is the top one of the width
      {7, 0b0000100, "five"},                 // a value that is also a figure of the table
      {7, 0b1100101, "one; two; five; seven"},
      {7, 0b0011010, std::nullopt},           // set bits without entries
      {7, 0b0111010, "two"},
      {7, 0b1111111, "one; two; five; seven"},  // missing or not, the decoder says
      {8, 0b00000010, "seven"},               // the width, not the table, numbers the bits
      {1, 1, "one"},                          // a data present indicator: 1 is not missing
      {1, 1 | 2, "one"},                      // only the width's bits count
      {0, 0, std::nullopt},
      {64, uint64_t{1} << 63, "one"},
  };
  for (const FlagCase& c : cases) {
    EXPECT_EQ(flag_meaning(codes, c.width, c.raw), c.meaning) << c.width << " bits, " << c.raw;
  }
}

TEST(FlagMeaning, EmptyEntryStillCounts) {
  EXPECT_EQ(flag_meaning(CodeTable{{2, ""}}, 3, 0b010), std::optional<std::string>(""));
}

TEST(FlagMeaning, UnitSpellings) {
  for (const char* unit : {"FLAG TABLE", "Flag table", "flag table"}) EXPECT_TRUE(is_flag_unit(unit)) << unit;
  for (const char* unit : {"CODE TABLE", "FLAG TABLES", "flag", ""}) EXPECT_FALSE(is_flag_unit(unit)) << unit;
}

}  // namespace
}  // namespace tarvane
