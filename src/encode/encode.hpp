// Writing BUFR: section 4 written by a visitor of the same descriptor walk
// that reads it, and the message around it.
//
// The writer pulls what it writes from a ValueSource, one per subset, in
// walk order. Records decoded from a message are one source (each record in
// turn, a replication factor being the record of its factor element);
// values given by key are another (a factor being the length of a list).
// Compressed data are written from all the subsets' sources at once, each
// element a column.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../data/decoded_value.hpp"
#include "../data/walk.hpp"
#include "../error.hpp"
#include "../message/message.hpp"
#include "../tables/table_set.hpp"

namespace tarvane {

// One value to write. A number in the element's unit (NaN: missing), or,
// where raw is set, the coded integer itself (exact: a decoded record keeps
// it), or text bytes for a character element (nullopt: missing). A number
// is written as the integer the reader turns back into it exactly.
// Refusals are BufrError kind Encode.
struct EncodeValue {
  double value = 0.0;
  std::optional<uint64_t> raw;
  std::optional<std::string_view> text;
  bool missing = false;
  // "#k#key" where the caller gave values by key, so errors can name it.
  std::string_view key;
};

// Where the writer's values come from, for one subset. The writer calls
// these in walk order; code is the descriptor being written and info its
// Table B entry (nullptr where the tables lack it, under 2 06 YYY). A text
// returned must stay valid until the source's next call: compressed data
// take one item from every subset before writing it.
class RecordSource;

class ValueSource {
 public:
  virtual ~ValueSource() = default;
  // The value of the next element, associated field, 2 05 YYY characters
  // (code 2 05 YYY) or replication factor element.
  [[nodiscard]] virtual Result<EncodeValue> next(uint32_t code, const ElementInfo* info) = 0;
  // A delayed replication's factor, asked for before its factor element is
  // written (the value next then returns for that element must agree).
  [[nodiscard]] virtual Result<uint64_t> factor(uint32_t replication_code, uint32_t factor_code) = 0;
  // Around each repetition of a delayed replication's group, so that a
  // source keyed by name knows which entry of its lists is meant.
  virtual void begin_repetition(uint64_t) {}
  virtual void end_replication() {}
  // An operator that leaves a record in decoded data (2 22 000, 2 36 000,
  // ...): a source of records steps over it.
  [[nodiscard]] virtual Status skip_operator(uint32_t) { return {}; }
  // The new reference value element code carries between 2 03 YYY and
  // 2 03 255; scale: the element's scale now.
  [[nodiscard]] virtual Result<int64_t> new_reference(uint32_t code, int32_t scale);
  // The records behind a RecordSource, which the column writer reads in
  // bulk; nullptr for other sources.
  virtual RecordSource* records() { return nullptr; }
};

// A source over decoded records: records[first, last) in order, texts
// resolved through result.texts; or subset j of compressed columns, its
// record of column k at columns.records[refs[k].first + j * refs[k].step].
class RecordSource final : public ValueSource {
 public:
  RecordSource(const DecodeResult& result, size_t first, size_t last)
      : result_(&result), base_(result.values.data()), next_(first), last_(last) {}
  // payload: what columns.packed refer to.
  RecordSource(const DecodeResult& texts, const CompressedColumns& columns, size_t subset,
               std::span<const uint8_t> payload = {})
      : result_(&texts), base_(columns.records.data()), columns_(&columns), subset_(subset), last_(columns.refs.size()),
        payload_(payload) {}
  [[nodiscard]] Result<EncodeValue> next(uint32_t code, const ElementInfo* info) override;
  [[nodiscard]] Result<uint64_t> factor(uint32_t replication_code, uint32_t factor_code) override;
  [[nodiscard]] Status skip_operator(uint32_t code) override;
  // Decoded records keep no new reference: it is what the element's next
  // present record was read with (0 where there is none).
  [[nodiscard]] Result<int64_t> new_reference(uint32_t code, int32_t scale) override;
  // Records not consumed by the walk: a source that ends early or late
  // does not describe this template.
  size_t remaining() const { return last_ - next_; }
  RecordSource* records() override { return this; }

  // What the column writer reads in bulk: the next record, and whether the
  // subsets' sources are over columns (then record j of the next column is
  // at subset 0's + j * subset_step()) or over one decoding's records.
  const DecodeResult& result() const { return *result_; }
  const CompressedColumns* columns() const { return columns_; }
  size_t subset() const { return subset_; }
  size_t position() const { return next_; }
  const DecodedValue* record(size_t i) const {
    return columns_ ? base_ + columns_->refs[i].first + subset_ * columns_->refs[i].step : base_ + i;
  }
  // The number of record i in the message's records, subset after subset.
  size_t record_number(size_t i) const { return columns_ ? subset_ * columns_->refs.size() + i : i; }
  size_t subset_step() const { return columns_->refs[next_].step; }
  // The column of record i where it was left packed (its record is then
  // R0's alone), else nullptr.
  const PackedColumn* packed(size_t i) const {
    if (columns_ == nullptr || columns_->refs[i].packed == ColumnRef::kNotPacked) return nullptr;
    return &columns_->packed[columns_->refs[i].packed];
  }
  std::span<const uint8_t> payload() const { return payload_; }
  // Steps over the next k records, which the caller has checked.
  void advance(size_t k = 1) { next_ += k; }

 private:
  const DecodeResult* result_;
  const DecodedValue* base_;
  const CompressedColumns* columns_ = nullptr;
  size_t subset_ = 0;
  size_t next_ = 0;
  size_t last_;
  std::span<const uint8_t> payload_;
};

// Section 4's data bits (without its 4-byte header), padded with zeros to
// whole bytes, for descriptors over one source per subset. Compressed data
// need at least one subset and the same replication factors in every one.
[[nodiscard]] Result<std::vector<uint8_t>> encode_data(std::span<const uint32_t> descriptors, const TableSet& tables,
                                                       std::span<ValueSource* const> subsets, bool compressed);

// Sections 0 to 5 around section 4's data: header fields from header
// (edition 3 or 4; edition 3 writes no international sub-category and no
// second), section 2 from local_section when header.local_section_present,
// section 3 from header.unexpanded_descriptors, number_of_subsets,
// observed_data and compressed_data. Edition 3 sections are padded to even
// lengths.
[[nodiscard]] Result<std::vector<uint8_t>> assemble_message(const BufrMessage& header,
                                                            std::span<const uint8_t> local_section,
                                                            std::span<const uint8_t> data);

// A new message from a template: header's section 1 fields and flags, with
// descriptors as section 3's list, subsets as its count and no section 2.
[[nodiscard]] Result<std::vector<uint8_t>> assemble_template_message(const BufrMessage& header,
                                                                     std::span<const uint32_t> descriptors,
                                                                     size_t subsets, std::span<const uint8_t> data);

}  // namespace tarvane
