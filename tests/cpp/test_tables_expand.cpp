// Descriptor expansion: sequences, replications, operators, associated
// fields, and the bounds on depth, length and work.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tables/expand.hpp"
#include "test_tables_util.hpp"

namespace tarvane {
namespace {

using testing::error_text;
using Codes = std::vector<uint32_t>;

TableSet with_sequences(std::initializer_list<SequenceDefinition> seqs) {
  TableSet t;
  for (const SequenceDefinition& s : seqs) t.insert_sequence(s);
  return t;
}

struct ExpandCase {
  Codes input;
  Codes output;
  std::string error;  // display text when the expansion fails
};

TEST(Expand, ListsAndTheirExpansions) {
  TableSet t = with_sequences({{300002, {2, 3}}, {301011, {4001, 4002, 4003}}, {301100, {204003}}, {301101, {}}});
  const std::vector<ExpandCase> cases = {
      {{}, {}, ""},
      {{1001}, {1001}, ""},
      {{101002, 1001}, {1001, 1001}, ""},
      {{102000, 31001, 1001, 1002}, {31001, 1001, 1002}, ""},
      {{201130, 202129, 1001, 203014, 1002}, {1001, 203014, 1002}, ""},
      {{206016, 207001, 208010, 205004, 221010, 299000}, {205004, 221010, 299000}, ""},
      // The worked example.
      {{204007, 300002, 31021, 101002, 1001, 204000, 1002}, {999999, 2, 999999, 3, 31021, 999999, 1001, 999999, 1001, 1002},
       ""},
      // An associated field switched on inside a sequence outlives it.
      {{301100, 1001}, {999999, 1001}, ""},
      {{103002, 301011, 1001, 301101}, {4001, 4002, 4003, 1001, 4001, 4002, 4003, 1001}, ""},
      // Y above 255 counts modulo 256: 101257 repeats once.
      {{101257, 1001}, {1001}, ""},
      // Rounds after an associated field switches on carry its markers.
      {{102003, 1001, 204001, 1002}, {1001, 999999, 1001, 999999, 1001, 999999, 1002}, ""},
      {{204001, 103002, 1001, 204000, 31021, 1002}, {999999, 1001, 31021, 1001, 31021, 1002}, ""},
      // Nested fixed replication.
      {{102002, 101002, 1001}, {1001, 1001, 1001, 1001}, ""},
      // Delayed replication expands its factor and group once.
      {{101000, 31001, 1001, 1002}, {31001, 1001, 1002}, ""},
      {{101000}, {}, "unsupported replication descriptor 101000"},
      {{100000, 1001}, {}, "unsupported replication descriptor 100000"},
      {{103001, 1001, 1002}, {}, "unsupported replication descriptor 103001"},
      {{101000, 31001}, {}, "delayed replication descriptor 101000 is missing its replication factor or replicated descriptors"},
      {{1001, 301999}, {}, "descriptor 301999 was not found in Table D"},
      {{400000}, {}, "csv/table parse error: invalid descriptor 400000"},
      {{25600000}, {}, "csv/table parse error: invalid descriptor 25600000"},
      {{4294967295u}, {}, "csv/table parse error: invalid descriptor 4294967295"},
      // The first error met, depth first, is reported.
      {{101002, 301998, 301999}, {}, "descriptor 301998 was not found in Table D"},
  };
  for (const ExpandCase& c : cases) {
    auto r = expand_descriptors(t, c.input);
    std::string label = ::testing::PrintToString(c.input);
    if (c.error.empty()) {
      ASSERT_TRUE(r) << label << ": " << error_text(r);
      EXPECT_EQ(*r, c.output) << label;
    } else {
      EXPECT_EQ(error_text(r), c.error) << label;
    }
  }
}

TEST(Expand, ExpandIntoAppendsAndCounts) {
  TableSet t = with_sequences({{300002, {2, 3}}});
  Codes out = {7};
  ExpansionState state;
  auto n = expand_into(t, Codes{204001, 300002}, out, state, 0);
  ASSERT_TRUE(n) << error_text(n);
  EXPECT_EQ(*n, 4u);
  EXPECT_EQ(out, (Codes{7, 999999, 2, 999999, 3}));
  EXPECT_EQ(state.associated_field_width, 1);
  // Past the depth limit nothing is appended, even for an empty list.
  EXPECT_EQ(error_text(expand_into(t, Codes{}, out, state, kMaxExpansionDepth + 1)),
            "csv/table parse error: sequence expansion exceeded recursion depth");
  EXPECT_TRUE(expand_into(t, Codes{}, out, state, kMaxExpansionDepth));
}

// A chain of sequences 300001 -> 300002 -> ... -> 300000+n ending in 1001.
TableSet chain(uint32_t n) {
  TableSet t;
  for (uint32_t i = 1; i < n; ++i) t.insert_sequence({300000 + i, {300000 + i + 1}});
  t.insert_sequence({300000 + n, {1001}});
  return t;
}

TEST(Expand, RecursionDepthLimit) {
  // 64 nested sequences below the top-level list expand; 65 do not.
  auto ok = expand_descriptors(chain(64), Codes{300001});
  ASSERT_TRUE(ok) << error_text(ok);
  EXPECT_EQ(*ok, Codes{1001});
  EXPECT_EQ(error_text(expand_descriptors(chain(65), Codes{300001})),
            "csv/table parse error: sequence expansion exceeded recursion depth");
  TableSet self = with_sequences({{301001, {1001, 301001}}});
  EXPECT_EQ(error_text(expand_descriptors(self, Codes{301001})),
            "csv/table parse error: sequence expansion exceeded recursion depth");
}

TEST(Expand, HostileListsAreBounded) {
  TableSet t;
  auto big = expand_descriptors(t, Codes{102255, 101255, 1001});
  ASSERT_TRUE(big) << error_text(big);
  EXPECT_EQ(big->size(), 255u * 255u);
  // 255^3 codes, beyond the output bound.
  EXPECT_EQ(error_text(expand_descriptors(t, Codes{103255, 102255, 101255, 1001})),
            "csv/table parse error: sequence expansion exceeded 10000000 descriptors");

  // Replications of groups that expand to nothing finish at once, with the
  // result (and the associated-field state) the full unrolling would give.
  auto start = std::chrono::steady_clock::now();
  auto none = expand_descriptors(t, Codes{106255, 105255, 104255, 103255, 102255, 101255, 201001});
  ASSERT_TRUE(none) << error_text(none);
  EXPECT_TRUE(none->empty());
  auto on = expand_descriptors(t, Codes{105255, 104255, 103255, 102255, 101255, 204001, 1001});
  ASSERT_TRUE(on) << error_text(on);
  EXPECT_EQ(*on, (Codes{999999, 1001}));
  auto off = expand_descriptors(t, Codes{204001, 105255, 104255, 103255, 102255, 101255, 204000, 1001});
  ASSERT_TRUE(off) << error_text(off);
  EXPECT_EQ(*off, Codes{1001});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  // Sequences of sequences that expand to nothing: bounded by the step limit.
  TableSet wide;
  for (uint32_t level = 0; level < 6; ++level) {
    SequenceDefinition s{310000 + level, {}};
    s.members.assign(100, level == 5 ? 201001 : 310000 + level + 1);
    wide.insert_sequence(s);
  }
  EXPECT_EQ(error_text(expand_descriptors(wide, Codes{310000})),
            "csv/table parse error: sequence expansion exceeded 10000000 steps");
}

}  // namespace
}  // namespace tarvane
