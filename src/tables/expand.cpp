// Expansion of descriptor lists: sequences replaced by their members, fixed
// replications unrolled, operators that only change how values are read
// absorbed, associated fields marked by 999999.
#include "expand.hpp"

#include <string>

#include "../descriptor.hpp"

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

}  // namespace

Result<size_t> expand_into(const TableSet& tables, std::span<const uint32_t> descriptors, std::vector<uint32_t>& out,
                           ExpansionState& state, uint32_t depth) {
  if (depth > kMaxExpansionDepth) return fail(BufrError::parse("sequence expansion exceeded recursion depth"));
  const size_t start = out.size();
  const size_t n = descriptors.size();
  size_t i = 0;
  while (i < n) {
    if (++state.steps > kMaxExpansionSteps) {
      return fail(BufrError::parse("sequence expansion exceeded " + std::to_string(kMaxExpansionSteps) + " steps"));
    }
    const uint32_t c = descriptors[i];
    const uint32_t f = c / 100000;
    const uint32_t x = (c % 100000) / 1000;
    const uint32_t y = (c % 1000) & 0xFF;  // only the low eight bits of Y count
    switch (f) {
      case 0:
        if (state.associated_field_width != 0 && x != 31) TARVANE_CHECK(append(out, kAssociatedFieldMarker));
        TARVANE_CHECK(append(out, c));
        i += 1;
        break;
      case 1: {
        if (x == 0 || i + x >= n) return fail(BufrError::unsupported_replication(c));
        if (y != 0) {
          auto group = descriptors.subspan(i + 1, x);
          // A round's output depends only on the state it starts from, and
          // only 2 04 YYY changes the state, the same way in every round. So
          // by the second round at the latest a round starts and ends in the
          // same state, and every later round repeats its output: copy it.
          uint32_t rounds = 0;
          size_t round_start = out.size();
          while (rounds < y) {
            uint8_t width_before = state.associated_field_width;
            round_start = out.size();
            TARVANE_CHECK(expand_into(tables, group, out, state, depth + 1));
            ++rounds;
            if (state.associated_field_width == width_before) break;
          }
          const size_t round_length = out.size() - round_start;
          const size_t copies = y - rounds;
          if (round_length != 0 && copies != 0) {
            if (round_length * copies > kMaxExpansionLength - out.size()) return fail(too_long());
            out.reserve(out.size() + round_length * copies);
            for (size_t k = 0; k < copies; ++k) {
              for (size_t j = 0; j < round_length; ++j) out.push_back(out[round_start + j]);
            }
          }
          i += x + 1;
        } else {
          if (i + x + 1 >= n) return fail(BufrError::incomplete_delayed_replication(c));
          TARVANE_CHECK(expand_into(tables, descriptors.subspan(i + 1, x + 1), out, state, depth + 1));
          i += x + 2;
        }
        break;
      }
      case 2:
        if (x == 4) {
          state.associated_field_width = static_cast<uint8_t>(y);
        } else if (x != 1 && x != 2 && x != 6 && x != 7 && x != 8) {
          TARVANE_CHECK(append(out, c));
        }
        i += 1;
        break;
      case 3: {
        const SequenceDefinition* seq = tables.find_sequence(c);
        if (seq == nullptr) return fail(BufrError::sequence_not_found(c));
        TARVANE_CHECK(expand_into(tables, seq->members, out, state, depth + 1));
        i += 1;
        break;
      }
      default:
        return fail(BufrError::parse("invalid descriptor " + code_text(c)));
    }
  }
  return out.size() - start;
}

Result<std::vector<uint32_t>> expand_descriptors(const TableSet& tables, std::span<const uint32_t> descriptors) {
  std::vector<uint32_t> out;
  ExpansionState state;
  TARVANE_CHECK(expand_into(tables, descriptors, out, state, 0));
  return out;
}

}  // namespace tarvane
