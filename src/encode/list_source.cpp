#include "list_source.hpp"

#include <cmath>
#include <limits>
#include <memory>

#include "../descriptor.hpp"

namespace tarvane {

Result<const ListedValue*> ListSource::take(size_t& at, uint32_t code) const {
  if (at >= values_.size())
    return fail(BufrError::parse("value " + std::to_string(at) + " is past the values given: the template needs " +
                                 code_text(code)));
  const ListedValue& v = values_[at];
  if (v.code != code)
    return fail(BufrError::parse("value " + std::to_string(at) + " is of " + code_text(v.code) +
                                 " where the template has " + code_text(code)));
  ++at;
  return &v;
}

Result<EncodeValue> ListSource::next(uint32_t code, const ElementInfo*) {
  TARVANE_TRY(const ListedValue* v, take(next_, code));
  EncodeValue out;
  out.missing = v->missing;
  if (v->missing) {
    out.value = std::numeric_limits<double>::quiet_NaN();
  } else if (v->is_text) {
    out.text = std::string_view(v->text);
  } else {
    out.value = v->value;
  }
  return out;
}

Result<uint64_t> ListSource::factor(uint32_t replication_code, uint32_t factor_code) {
  size_t at = next_;
  TARVANE_TRY(const ListedValue* v, take(at, factor_code));
  if (v->missing || v->is_text || !(v->value >= 0) || v->value != std::floor(v->value) || v->value > 1e9)
    return fail(BufrError::parse("the factor of " + code_text(replication_code) + " is not a whole number"));
  return static_cast<uint64_t>(v->value);
}

Status ListSource::skip_operator(uint32_t code) {
  TARVANE_TRY(const ListedValue* v, take(next_, code));
  (void)v;
  return {};
}

Result<std::vector<uint8_t>> encode_listed(std::span<const uint32_t> descriptors, const TableSet& tables,
                                           std::span<const std::vector<ListedValue>> subsets,
                                           const BufrMessage& header) {
  if (subsets.size() > 65535) return fail(BufrError::parse("a message holds at most 65535 subsets"));
  std::vector<std::unique_ptr<ListSource>> sources;
  std::vector<ValueSource*> pointers;
  for (const auto& s : subsets) {
    sources.push_back(std::make_unique<ListSource>(s));
    pointers.push_back(sources.back().get());
  }
  TARVANE_TRY(const std::vector<uint8_t> data, encode_data(descriptors, tables, pointers, header.compressed_data));
  for (size_t i = 0; i < sources.size(); ++i) {
    if (sources[i]->remaining() != 0)
      return fail(BufrError::parse("subset " + std::to_string(i + 1) + " lists more values than the template takes"));
  }
  return assemble_template_message(header, descriptors, subsets.size(), data);
}

}  // namespace tarvane
