// Values given by key: a template's plan (each value it takes, numbered by
// key in template order, each delayed replication's group once) and a
// source that hands the writer the values a caller gave for the plan.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "encode.hpp"

namespace tarvane {

struct PlanNode {
  enum class Kind : uint8_t { Value, Delayed };
  Kind kind = Kind::Value;
  uint32_t code = 0;
  // Value: "#k#key", the k-th value of that key in the plan ("" where the
  // tables give no key). Delayed: the index past its factor and group.
  std::string key;
  size_t end = 0;
};

// Value nodes in the order the writer asks for them; a delayed
// replication's node stands before its factor's value node and its group.
struct TemplatePlan {
  std::vector<PlanNode> nodes;
};

[[nodiscard]] Result<TemplatePlan> plan_template(std::span<const uint32_t> descriptors, const TableSet& tables);

// One given value: a number in the element's unit, a text, missing, or one
// entry per repetition of the delayed replications around it.
struct KeyValue {
  enum class Kind : uint8_t { Absent, Missing, Number, Text, List };
  Kind kind = Kind::Absent;
  double number = 0.0;
  std::string text;
  std::vector<KeyValue> items;
};

// One subset's values, indexed as the plan's nodes (absent past the end).
struct KeyedSubset {
  std::vector<KeyValue> values;
};

class KeySource final : public ValueSource {
 public:
  KeySource(const TemplatePlan& plan, const KeyedSubset& subset) : plan_(&plan), subset_(&subset) {}
  [[nodiscard]] Result<EncodeValue> next(uint32_t code, const ElementInfo* info) override;
  [[nodiscard]] Result<uint64_t> factor(uint32_t replication_code, uint32_t factor_code) override;
  void begin_repetition(uint64_t repetition) override;
  void end_replication() override;

 private:
  struct Frame {
    size_t node;
    uint64_t factor;
    uint64_t repetition;
    bool started;
  };
  [[nodiscard]] Result<const KeyValue*> resolve(size_t node, size_t frames) const;
  const TemplatePlan* plan_;
  const KeyedSubset* subset_;
  std::vector<Frame> frames_;
  size_t cursor_ = 0;
};

// The message from a template and one KeyedSubset per subset, with header's
// section 1 fields, edition and compression.
[[nodiscard]] Result<std::vector<uint8_t>> encode_keyed(std::span<const uint32_t> descriptors, const TableSet& tables,
                                                        std::span<KeyedSubset> subsets,
                                                        const BufrMessage& header);

}  // namespace tarvane
