// Where the requested keys of decoded records meet: rows of observations.
#include <gtest/gtest.h>

#include <vector>

#include "data/observations.hpp"

using namespace tarvane;

namespace {

struct Case {
  const char* what;
  std::vector<uint32_t> subset;
  std::vector<int32_t> which;       // key per record, -1 none
  std::vector<int32_t> coordinate;  // coordinate id per record, -1 none
  size_t keys;
  std::vector<int64_t> rows;        // keys entries per row
};

}  // namespace

TEST(ObservationRows, FollowTheStructure) {
  const Case cases[] = {
      {"no keys", {1, 1}, {-1, -1}, {-1, -1}, 0, {}},
      {"no record of any key", {1, 1}, {-1, -1}, {-1, -1}, 2, {}},
      // station, then levels of (pressure, temperature): the station is on every row.
      {"outer value on every repetition",
       {1, 1, 1, 1, 1},
       {0, 1, 2, 1, 2},
       {-1, 7, -1, 7, -1},
       3,
       {0, 1, 2, 0, 3, 4}},
      // Levels of (pressure, temperature), then winds under a new
      // coordinate: that opens a level below the last pressure, so the
      // winds share its row, one row each, not paired by rank.
      {"a new coordinate opens a level below",
       {1, 1, 1, 1, 1, 1},
       {0, 1, 0, 1, 2, 2},
       {7, -1, 7, -1, 8, 8},
       3,
       {0, 1, -1, 2, 3, 4, 2, 3, 5}},
      // Back at the outer coordinate: what was gathered below it is done.
      {"backing out of a level",
       {1, 1, 1, 1, 1},
       {0, -1, 1, -1, 0},
       {7, 8, -1, 7, 7},
       2,
       {0, 2, 4, -1}},
      {"each subset starts afresh",
       {1, 1, 2, 2},
       {0, 1, 1, -1},
       {-1, -1, -1, -1},
       2,
       {0, 1, -1, 2}},
      {"a key out of range counts as none", {1, 1}, {0, 5}, {-1, -1}, 1, {0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(observation_rows(c.subset, c.which, c.coordinate, c.keys), c.rows) << c.what;
  }
}
