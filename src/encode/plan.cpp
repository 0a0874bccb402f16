// A template's plan, as a visitor of the descriptor walk: sequences and
// fixed replications unrolled, a delayed replication's group once.
#include <string>
#include <unordered_map>

#include "../descriptor.hpp"
#include "../tables/descriptor_walk.hpp"
#include "../tables/expand.hpp"
#include "keys.hpp"

namespace tarvane {

namespace {

struct Planner {
  static constexpr uint32_t kMaxDepth = kMaxExpansionDepth;
  static uint32_t replication_count(uint32_t y) { return y & 0xFF; }

  const TableSet& tables_;
  TemplatePlan& plan;
  std::unordered_map<std::string, size_t> seen;
  uint64_t steps = 0;
  uint8_t associated_width = 0;

  BufrError depth_error() const { return BufrError::parse("sequence expansion exceeded recursion depth"); }
  const TableSet& tables() const { return tables_; }

  Status visit() {
    if (++steps > kMaxExpansionSteps || plan.nodes.size() >= kMaxExpansionLength)
      return fail(BufrError::parse("the template expands past " + std::to_string(kMaxExpansionLength) + " values"));
    return {};
  }

  void value(uint32_t code, std::string_view name) {
    PlanNode node;
    node.code = code;
    if (!name.empty()) node.key = "#" + std::to_string(++seen[std::string(name)]) + "#" + std::string(name);
    plan.nodes.push_back(std::move(node));
  }

  Status element(uint32_t code) {
    const ElementDefinition* def = tables_.find_element(code);
    if (def == nullptr) return fail(BufrError::element_not_found(code));
    if (associated_width != 0 && !is_class31(code)) value(kAssociatedFieldCode, kAssociatedFieldName);
    value(code, def->abbreviation);
    return {};
  }

  Status operation(uint32_t code) {
    const auto [f, x, y] = split_code(code);
    if (x == 4) associated_width = static_cast<uint8_t>(y);
    if (x == 5) value(code, kCharactersName);
    // The markers of substituted, first-order statistics and replaced values
    // stand for one value each.
    if (y == 255 && (x == 23 || x == 24 || x == 25 || x == 32)) value(code, "");
    return {};
  }

  Status fixed(uint32_t, uint32_t count, std::span<const uint32_t> group, uint32_t depth) {
    for (uint32_t k = 0; k < count; ++k) TARVANE_CHECK(walk_descriptors(group, *this, depth + 1));
    return {};
  }

  Status delayed(uint32_t code, std::span<const uint32_t> factor_and_group, uint32_t depth) {
    const size_t at = plan.nodes.size();
    PlanNode node;
    node.kind = PlanNode::Kind::Delayed;
    node.code = code;
    plan.nodes.push_back(std::move(node));
    TARVANE_CHECK(walk_descriptors(factor_and_group, *this, depth + 1));
    plan.nodes[at].end = plan.nodes.size();
    return {};
  }
};

}  // namespace

Result<TemplatePlan> plan_template(std::span<const uint32_t> descriptors, const TableSet& tables) {
  TemplatePlan plan;
  Planner planner{tables, plan, {}};
  TARVANE_CHECK(walk_descriptors(descriptors, planner, 0));
  return plan;
}

}  // namespace tarvane
