// Which record each record qualifies, found again from the decoded columns.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "data/attributes.hpp"

using namespace tarvane;

namespace {

constexpr double kNan = NAN;

struct Case {
  const char* what;
  std::vector<uint32_t> descriptor;
  std::vector<double> value;  // only the bitmap entries matter
  std::vector<int32_t> refers_to;
  std::vector<uint32_t> markers;
};

std::vector<int32_t> refers_to_of(const Case& c, std::vector<uint32_t> subset, AttributeColumns* out = nullptr) {
  AttributeColumns found = find_attributes(c.descriptor, c.value, subset);
  std::vector<int32_t> got(found.refers_to.data(), found.refers_to.data() + found.refers_to.size);
  if (out != nullptr) *out = std::move(found);
  return got;
}

}  // namespace

TEST(FindAttributes, FollowsBitmapsChainsAndAssociatedFields) {
  const Case cases[] = {
      {"no attributes", {1001, 12101, 31001, 12101}, {1, 2, 1, 3}, {-1, -1, -1, -1}, {}},
      // A second quality block on a reused bitmap qualifies the first.
      {"quality chain",
       {11001, 12101, 222000, 236000, 31031, 31031, 33007, 33007, 222000, 237000, 33007, 33007},
       {1, 2, 0, 0, 0, 0, 60, 70, 0, 0, 61, 71},
       {-1, -1, -1, -1, -1, -1, 0, 1, -1, -1, 6, 7},
       {}},
      // A missing bitmap entry is none; the marker value has the code of what it qualifies.
      {"substituted",
       {11001, 12101, 223000, 31031, 31031, 31031, 12101},
       {1, 2, 0, 1, kNan, 0, 3},
       {-1, -1, -1, -1, -1, -1, 1},
       {6}},
      {"associated fields",
       {31021, 999999, 11001, 999999, 12101, 11002},
       {2, 0, 1, 0, 2, 3},
       {1, 2, -1, 4, -1, -1},
       {}},
      {"class 33 after an element", {11001, 33002, 33007, 31001}, {1, 1, 90, 0}, {-1, 0, 0, -1}, {}},
  };
  for (const Case& c : cases) {
    AttributeColumns found;
    EXPECT_EQ(refers_to_of(c, std::vector<uint32_t>(c.descriptor.size(), 1), &found), c.refers_to) << c.what;
    EXPECT_EQ(found.marker_records, c.markers) << c.what;
    for (uint32_t op : found.marker_operators) EXPECT_EQ(op, 223255u) << c.what;
  }
}

TEST(FindAttributes, EachSubsetHasItsOwnBitmap) {
  // Two subsets of one layout whose bitmaps designate different elements.
  Case c{"two subsets",
         {11001, 12101, 222000, 31031, 31031, 33007, 11001, 12101, 222000, 31031, 31031, 33007},
         {1, 2, 0, 0, 1, 50, 1, 2, 0, 1, 0, 50},
         {},
         {}};
  const std::vector<int32_t> want = {-1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1, 7};
  EXPECT_EQ(refers_to_of(c, {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2}), want);
}
