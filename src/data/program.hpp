// The uncompressed walk compiled: a message's descriptors, sequences
// expanded and every element looked up once, as a flat list of
// instructions that each subset runs. Replications stay loops whose counts
// are read at run time, and operators change the coding state as they are
// met, exactly as in the recursive walk.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "walk.hpp"

namespace tarvane {

enum class OpKind : uint8_t {
  Element,   // read info's element
  Operator,  // 2 XX YYY
  Repeat,    // the next `body` instructions, `count` times
  Delayed,   // read the factor element info, then the next `body` instructions that many times
  Visit,     // nothing but descriptor visits (an empty sequence)
};

struct Instruction {
  OpKind kind = OpKind::Visit;
  // Descriptor visits that the recursive walk makes up to and including this
  // one, counted against the step limit before it runs.
  uint32_t steps = 0;
  uint32_t code = 0;
  uint32_t body = 0;
  uint32_t count = 0;
  const ElementInfo* info = nullptr;
  // An element read with no operator in force: its Table B coding, worked
  // out when compiled. direct is false for text and for 0 31 031, which
  // take the general path.
  bool direct = false;
  bool missing_allowed = false;  // all ones means missing
  uint16_t width = 0;
  int32_t scale = 0;
  int64_t reference = 0;
};

// The program of descriptors, or nothing where the recursive walk is to run
// instead: a missing element or sequence, a malformed replication, nesting
// beyond kMaxDecodeDepth or a program of more than max_instructions. Those
// fail, or not, depending on the data, and the recursive walk decides.
std::optional<std::vector<Instruction>> compile_program(std::span<const uint32_t> descriptors, const TableSet& tables,
                                                        size_t max_instructions);

// The operator state under which an element reads as its Table B entry
// says (what an instruction's direct coding assumes).
bool plain_state(const ValueCodingState& s);

// A template's program as the TableSet keeps it, compiled at its first
// use; compiled == false where the recursive walk is to run.
struct CachedProgram {
  bool compiled = false;
  std::vector<Instruction> instructions;
};
std::shared_ptr<const CachedProgram> cached_program(std::span<const uint32_t> descriptors, const TableSet& tables);

// One subset: what decode_descriptor_values_inner does for descriptors.
[[nodiscard]] Status run_program(std::span<const Instruction> program, DecodeContext& ctx, ValueCodingState& state);

}  // namespace tarvane
