// Values listed record by record, as a dump gives them: each subset's
// descriptors and values in walk order, numbers in the element's unit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "encode.hpp"

namespace tarvane {

struct ListedValue {
  uint32_t code = 0;
  double value = 0.0;
  std::string text;
  bool is_text = false;
  bool missing = false;
};

class ListSource final : public ValueSource {
 public:
  explicit ListSource(std::span<const ListedValue> values) : values_(values) {}
  [[nodiscard]] Result<EncodeValue> next(uint32_t code, const ElementInfo* info) override;
  [[nodiscard]] Result<uint64_t> factor(uint32_t replication_code, uint32_t factor_code) override;
  [[nodiscard]] Status skip_operator(uint32_t code) override;
  size_t remaining() const { return values_.size() - next_; }

 private:
  [[nodiscard]] Result<const ListedValue*> take(size_t& at, uint32_t code) const;
  std::span<const ListedValue> values_;
  size_t next_ = 0;
};

// The message from descriptors and one list per subset, with header's
// section 1 fields, edition and compression.
[[nodiscard]] Result<std::vector<uint8_t>> encode_listed(std::span<const uint32_t> descriptors, const TableSet& tables,
                                                         std::span<const std::vector<ListedValue>> subsets,
                                                         const BufrMessage& header);

}  // namespace tarvane
