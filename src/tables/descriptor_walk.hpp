// The one walk over a descriptor list: the switch on F, the shape of
// replications, sequence lookup and the nesting bound. What is done at each
// descriptor is a visitor's: reading a subset, reading compressed columns,
// compiling a program, expanding a list.
//
// A visitor V provides
//   static constexpr uint32_t kMaxDepth;     nesting allowed below depth 0
//   BufrError depth_error();                 the error past kMaxDepth
//   static uint32_t replication_count(uint32_t y);   Y of 1 XX YYY as a count
//   const TableSet& tables();                where sequences are found
//   Status visit();                          before every descriptor (limits)
//   Status element(uint32_t code);           F = 0
//   Status operation(uint32_t code);         F = 2
//   Status fixed(uint32_t code, uint32_t count, std::span<const uint32_t> group, uint32_t depth);
//   Status delayed(uint32_t code, std::span<const uint32_t> factor_and_group, uint32_t depth);
// and walks a replication's group itself, with walk_group, as often as it
// reads or chooses.
#pragma once

#include <cstdint>
#include <span>

#include "../descriptor.hpp"
#include "../error.hpp"
#include "table_set.hpp"

namespace tarvane {

template <class V>
[[nodiscard]] Status walk_descriptors(std::span<const uint32_t> descriptors, V& v, uint32_t depth) {
  if (depth > V::kMaxDepth) return fail(v.depth_error());
  const size_t n = descriptors.size();
  size_t i = 0;
  while (i < n) {
    TARVANE_CHECK(v.visit());
    const uint32_t code = descriptors[i];
    switch (code / 100000) {
      case 0:
        TARVANE_CHECK(v.element(code));
        i += 1;
        break;
      case 1: {
        const uint32_t x = (code % 100000) / 1000;
        const uint32_t y = V::replication_count(code % 1000);
        if (x == 0 || i + x >= n) return fail(BufrError::unsupported_replication(code));
        if (y != 0) {
          TARVANE_CHECK(v.fixed(code, y, descriptors.subspan(i + 1, x), depth));
          i += x + 1;
        } else {
          if (i + x + 1 >= n) return fail(BufrError::incomplete_delayed_replication(code));
          TARVANE_CHECK(v.delayed(code, descriptors.subspan(i + 1, x + 1), depth));
          i += x + 2;
        }
        break;
      }
      case 2:
        TARVANE_CHECK(v.operation(code));
        i += 1;
        break;
      case 3: {
        const SequenceDefinition* seq = v.tables().find_sequence(code);
        if (seq == nullptr) return fail(BufrError::sequence_not_found(code));
        TARVANE_CHECK(walk_descriptors(std::span<const uint32_t>(seq->members), v, depth + 1));
        i += 1;
        break;
      }
      default:
        return fail(BufrError::parse("invalid descriptor " + code_text(code)));
    }
  }
  return {};
}

// A replication's group, count times, one level below the replication. Each
// round visits at least one descriptor, so the visitor's step bound ends an
// absurd count.
template <class V>
[[nodiscard]] Status walk_group(uint64_t count, std::span<const uint32_t> group, V& v, uint32_t depth) {
  for (; count != 0; --count) TARVANE_CHECK(walk_descriptors(group, v, depth + 1));
  return {};
}

}  // namespace tarvane
