// Expansion of descriptor lists: sequences replaced by their members, fixed
// replications unrolled, operators that only change how values are read
// absorbed, associated fields marked by 999999.
#include "expand.hpp"

#include <string>

#include "../descriptor.hpp"
#include "descriptor_walk.hpp"

namespace tarvane {

namespace {

constexpr uint32_t kAssociatedFieldMarker = 999999;

BufrError too_long() {
  return BufrError::parse("sequence expansion exceeded " + std::to_string(kMaxExpansionLength) + " descriptors");
}

Status append(std::vector<uint32_t>& out, uint32_t code) {
  if (out.size() >= kMaxExpansionLength) return fail(too_long());
  out.push_back(code);
  return {};
}

// Expansion as a visitor of the walk: it reads no data, so a delayed
// replication's factor and group appear once.
struct Expander {
  static constexpr uint32_t kMaxDepth = kMaxExpansionDepth;
  // Only the low eight bits of Y count.
  static uint32_t replication_count(uint32_t y) { return y & 0xFF; }

  const TableSet& tables_;
  std::vector<uint32_t>& out;
  ExpansionState& state;

  BufrError depth_error() const { return BufrError::parse("sequence expansion exceeded recursion depth"); }
  const TableSet& tables() const { return tables_; }

  Status visit() {
    if (++state.steps > kMaxExpansionSteps) {
      return fail(BufrError::parse("sequence expansion exceeded " + std::to_string(kMaxExpansionSteps) + " steps"));
    }
    return {};
  }

  Status element(uint32_t code) {
    const uint32_t x = (code % 100000) / 1000;
    if (state.associated_field_width != 0 && x != 31) TARVANE_CHECK(append(out, kAssociatedFieldMarker));
    return append(out, code);
  }

  Status operation(uint32_t code) {
    const uint32_t x = (code % 100000) / 1000;
    if (x == 4) {
      state.associated_field_width = static_cast<uint8_t>(code % 1000);
    } else if (x != 1 && x != 2 && x != 6 && x != 7 && x != 8) {
      TARVANE_CHECK(append(out, code));
    }
    return {};
  }

  Status fixed(uint32_t, uint32_t count, std::span<const uint32_t> group, uint32_t depth) {
    // A round's output depends only on the state it starts from, and only
    // 2 04 YYY changes the state, the same way in every round. So by the
    // second round at the latest a round starts and ends in the same state,
    // and every later round repeats its output: copy it.
    uint32_t rounds = 0;
    size_t round_start = out.size();
    while (rounds < count) {
      uint8_t width_before = state.associated_field_width;
      round_start = out.size();
      TARVANE_CHECK(walk_descriptors(group, *this, depth + 1));
      ++rounds;
      if (state.associated_field_width == width_before) break;
    }
    const size_t round_length = out.size() - round_start;
    const size_t copies = count - rounds;
    if (round_length != 0 && copies != 0) {
      if (round_length * copies > kMaxExpansionLength - out.size()) return fail(too_long());
      out.reserve(out.size() + round_length * copies);
      for (size_t k = 0; k < copies; ++k) {
        for (size_t j = 0; j < round_length; ++j) out.push_back(out[round_start + j]);
      }
    }
    return {};
  }

  Status delayed(uint32_t, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    return walk_descriptors(factor_and_group, *this, depth + 1);
  }
};

}  // namespace

Result<size_t> expand_into(const TableSet& tables, std::span<const uint32_t> descriptors, std::vector<uint32_t>& out,
                           ExpansionState& state, uint32_t depth) {
  const size_t start = out.size();
  Expander expander{tables, out, state};
  TARVANE_CHECK(walk_descriptors(descriptors, expander, depth));
  return out.size() - start;
}

Result<std::vector<uint32_t>> expand_descriptors(const TableSet& tables, std::span<const uint32_t> descriptors) {
  std::vector<uint32_t> out;
  ExpansionState state;
  TARVANE_CHECK(expand_into(tables, descriptors, out, state, 0));
  return out;
}

}  // namespace tarvane
