// The writer's values from keys: the plan is followed beside the walk, each
// value looked up through the repetitions of the replications around it.
#include "keys.hpp"

#include <cmath>
#include <limits>
#include <memory>

#include "../descriptor.hpp"

namespace tarvane {

namespace {

// Associated fields and the markers of 2 23 255 and the like are asked for
// under the code of the element they belong to.
bool stands_for_any(uint32_t code) { return code == kAssociatedFieldCode || (code / 100000 == 2 && code % 1000 == 255); }

std::string key_name(const PlanNode& node) { return node.key.empty() ? code_text(node.code) : node.key; }

BufrError key_error(const PlanNode& node, const std::string& what) {
  return BufrError::parse(key_name(node) + ": " + what);
}

}  // namespace

Result<const KeyValue*> KeySource::resolve(size_t node, size_t frames) const {
  const KeyValue* v = &subset_->values[node];
  for (size_t f = 0; f < frames && v->kind != KeyValue::Kind::Absent; ++f) {
    if (v->kind != KeyValue::Kind::List)
      return fail(key_error(plan_->nodes[node], "a delayed replication's value takes a list, one entry per repetition"));
    const uint64_t r = frames_[f].repetition;
    if (r >= v->items.size()) return fail(key_error(plan_->nodes[node], "too few entries for its replication"));
    v = &v->items[r];
  }
  if (v->kind == KeyValue::Kind::List)
    return fail(key_error(plan_->nodes[node], "a list where a single value is written"));
  return v;
}

Result<EncodeValue> KeySource::next(uint32_t code, const ElementInfo* info) {
  const auto& nodes = plan_->nodes;
  if (cursor_ >= nodes.size() || nodes[cursor_].kind != PlanNode::Kind::Value ||
      (nodes[cursor_].code != code && !stands_for_any(nodes[cursor_].code)))
    return fail(BufrError::parse("the template's values and the walk disagree at " + code_text(code)));
  const size_t node = cursor_++;
  EncodeValue out;
  out.key = nodes[node].key;
  if (!frames_.empty() && !frames_.back().started && node == frames_.back().node + 1) {
    out.value = static_cast<double>(frames_.back().factor);
    return out;
  }
  TARVANE_TRY(const KeyValue* v, resolve(node, frames_.size()));
  const bool text = info != nullptr && info->is_text;
  switch (v->kind) {
    case KeyValue::Kind::Number:
      if (text) return fail(key_error(nodes[node], "a number given for a text element"));
      if (std::isnan(v->number)) out.missing = true;
      out.value = v->number;
      return out;
    case KeyValue::Kind::Text:
      if (!text && code / 100000 != 2) return fail(key_error(nodes[node], "a text given for a number element"));
      out.text = std::string_view(v->text);
      return out;
    default:
      out.missing = true;
      out.value = std::numeric_limits<double>::quiet_NaN();
      return out;
  }
}

Result<uint64_t> KeySource::factor(uint32_t replication_code, uint32_t) {
  const auto& nodes = plan_->nodes;
  if (cursor_ >= nodes.size() || nodes[cursor_].kind != PlanNode::Kind::Delayed)
    return fail(BufrError::parse("the template's values and the walk disagree at " + code_text(replication_code)));
  const size_t at = cursor_;
  // Every list inside the group has one entry per repetition; a factor
  // given by its own key must agree.
  std::optional<uint64_t> factor;
  const size_t factor_node = at + 1;
  for (size_t i = at + 1; i < nodes[at].end; ++i) {
    if (nodes[i].kind != PlanNode::Kind::Value) continue;
    const KeyValue* v = &subset_->values[i];
    for (size_t f = 0; f < frames_.size() && v->kind == KeyValue::Kind::List; ++f)
      v = frames_[f].repetition < v->items.size() ? &v->items[frames_[f].repetition] : nullptr;
    if (v == nullptr || v->kind == KeyValue::Kind::Absent) continue;
    uint64_t n = 0;
    if (i == factor_node && v->kind == KeyValue::Kind::Number) {
      if (!(v->number >= 0 && v->number < 1e15) || v->number != std::floor(v->number))
        return fail(key_error(nodes[i], "a replication factor must be a whole number"));
      n = static_cast<uint64_t>(v->number);
    } else if (v->kind == KeyValue::Kind::List) {
      n = v->items.size();
    } else {
      return fail(key_error(nodes[i], "a delayed replication's value takes a list, one entry per repetition"));
    }
    if (factor && *factor != n)
      return fail(key_error(nodes[i], "gives " + std::to_string(n) + " repetitions where its replication has " +
                                          std::to_string(*factor)));
    factor = n;
  }
  frames_.push_back(Frame{at, factor.value_or(0), 0, false});
  cursor_ = at + 1;
  return frames_.back().factor;
}

void KeySource::begin_repetition(uint64_t repetition) {
  if (frames_.empty()) return;
  Frame& f = frames_.back();
  f.started = true;
  f.repetition = repetition;
  cursor_ = f.node + 2;
}

void KeySource::end_replication() {
  if (frames_.empty()) return;
  cursor_ = plan_->nodes[frames_.back().node].end;
  frames_.pop_back();
}

Result<std::vector<uint8_t>> encode_keyed(std::span<const uint32_t> descriptors, const TableSet& tables,
                                          std::span<KeyedSubset> subsets, const BufrMessage& header) {
  TARVANE_TRY(const TemplatePlan plan, plan_template(descriptors, tables));
  std::vector<std::unique_ptr<KeySource>> sources;
  std::vector<ValueSource*> pointers;
  for (KeyedSubset& s : subsets) {
    if (s.values.size() > plan.nodes.size()) return fail(BufrError::parse("values not laid out as the template's plan"));
    s.values.resize(plan.nodes.size());
    sources.push_back(std::make_unique<KeySource>(plan, s));
    pointers.push_back(sources.back().get());
  }
  if (subsets.size() > 65535) return fail(BufrError::parse("a message holds at most 65535 subsets"));
  TARVANE_TRY(const std::vector<uint8_t> data, encode_data(descriptors, tables, pointers, header.compressed_data));
  return assemble_template_message(header, descriptors, subsets.size(), data);
}

}  // namespace tarvane
