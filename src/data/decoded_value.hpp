// One decoded item of section 4 and the decoder's running state.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "../error.hpp"
#include "../tables/table_set.hpp"

namespace tarvane {

// A record refers to its element's name and code-table meaning inside the
// TableSet it was decoded with (or to a static word for the two synthetic
// kinds), and to its text by index into DecodeResult::texts. So it is plain
// data with no allocation of its own; it is valid while that TableSet lives.
struct DecodedValue {
  static constexpr uint32_t kNoText = UINT32_MAX;

  uint32_t descriptor = 0;
  uint32_t text = kNoText;  // raw_text: index into DecodeResult::texts
  double value = 0.0;       // raw_value, when has_value
  uint64_t raw = 0;         // raw, when has_raw
  std::string_view name;
  const std::string* meaning = nullptr;  // raw_meaning, or nullptr
  bool has_value = false;
  bool has_raw = false;
};

// Decoders emit hundreds of millions of these; keep them at seven words.
static_assert(sizeof(DecodedValue) == 56);
static_assert(std::is_trivially_copyable_v<DecodedValue> && std::is_trivially_destructible_v<DecodedValue>);

// The records of one decoding. Storage is taken without initialising it:
// zeroing a million records first costs as much as writing them. So the
// decoders write every field of every record they add (append_for_overwrite,
// resize_for_overwrite) before anything reads it. A plain aggregate, a
// DecodedValue lives in such storage without a constructor call.
class RecordBuffer {
 public:
  RecordBuffer() = default;
  RecordBuffer(const RecordBuffer& other) { *this = other; }
  RecordBuffer(RecordBuffer&& other) noexcept { swap(other); }
  RecordBuffer& operator=(const RecordBuffer& other) {
    if (this != &other) {
      size_ = 0;
      reserve(other.size_);
      if (other.size_ != 0) std::memcpy(data_, other.data_, other.size_ * sizeof(DecodedValue));
      size_ = other.size_;
    }
    return *this;
  }
  RecordBuffer& operator=(RecordBuffer&& other) noexcept {
    RecordBuffer gone(std::move(other));
    swap(gone);
    return *this;
  }
  ~RecordBuffer() { std::free(data_); }

  void swap(RecordBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  DecodedValue* data() { return data_; }
  const DecodedValue* data() const { return data_; }
  DecodedValue* begin() { return data_; }
  DecodedValue* end() { return data_ + size_; }
  const DecodedValue* begin() const { return data_; }
  const DecodedValue* end() const { return data_ + size_; }
  DecodedValue& operator[](size_t i) { return data_[i]; }
  const DecodedValue& operator[](size_t i) const { return data_[i]; }
  DecodedValue& back() { return data_[size_ - 1]; }
  const DecodedValue& back() const { return data_[size_ - 1]; }

  // realloc: a large block often grows in place or by remapping, where a
  // copy of millions of records would cost more than writing them. Failure
  // is std::bad_alloc, as from any container.
  void reserve(size_t n) {
    if (n <= capacity_) return;
    if (n > SIZE_MAX / sizeof(DecodedValue)) throw std::bad_alloc();
    void* grown = std::realloc(data_, n * sizeof(DecodedValue));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<DecodedValue*>(grown);
    capacity_ = n;
  }
  void clear() { size_ = 0; }
  void push_back(const DecodedValue& v) { append_for_overwrite() = v; }
  // One more record, every field of which the caller writes.
  DecodedValue& append_for_overwrite() {
    if (size_ == capacity_) reserve(capacity_ < 16 ? 16 : 2 * capacity_);
    return data_[size_++];
  }
  // n records in all, the new ones written by the caller. Growth doubles, so
  // that growing by small steps stays linear.
  void resize_for_overwrite(size_t n) {
    if (n > capacity_) reserve(n > 2 * capacity_ ? n : 2 * capacity_);
    size_ = n;
  }

 private:
  DecodedValue* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

struct DecodeResult {
  RecordBuffer values;
  std::vector<std::string> texts;
  // Uncompressed data: where each subset's records begin in values. (The
  // subsets of compressed data are all the same length.)
  std::vector<size_t> subset_starts;

  std::optional<std::string_view> raw_text(const DecodedValue& v) const {
    if (v.text == DecodedValue::kNoText) return std::nullopt;
    return std::string_view(texts[v.text]);
  }
};

inline constexpr std::string_view kAssociatedFieldName = "associatedField";
inline constexpr std::string_view kOperatorName = "operator";
inline constexpr uint32_t kAssociatedFieldCode = 999999;
// The record of the characters that 2 05 YYY inserts into the data.
inline constexpr std::string_view kCharactersName = "characters";
// The name of an element Table B lacks, read under 2 06 YYY: none, but a
// text of its own place, as every record name has.
inline constexpr std::string_view kUndefinedName = "";

struct ValueCodingState {
  std::vector<uint8_t> bitmap;
  // Definitions read so far, in reading order. Pointers into the TableSet:
  // the history only ever holds unmodified Table B entries (nullptr for an
  // element Table B lacks, read under 2 06 YYY).
  std::vector<const ElementDefinition*> descriptor_history;
  int64_t reference_multiplier = 1;
  size_t bitmap_cursor = 0;
  size_t bitmap_anchor = 0;
  uint64_t text_counter = 0;
  uint64_t text_column_counter = 0;
  std::optional<uint16_t> local_width;
  std::optional<uint16_t> text_width;
  int32_t width_change = 0;
  int32_t scale_change = 0;
  bool collecting_bitmap = false;
  // After 2 22/23/24/25/32 000 without 2 36 000, the bitmap may follow at
  // once; its first 0 31 031 starts it, over the elements read before the
  // first of those operators (operator_anchor, once set).
  bool bitmap_follows = false;
  std::optional<size_t> operator_anchor;
  uint8_t associated_field_width = 0;
  // 2 03 YYY: while not 0, element descriptors carry new reference values of
  // this many bits instead of data, until 2 03 255.
  uint16_t reference_definition_width = 0;
  // New reference values by element code, in force until 2 03 000. A message
  // changes a handful, so a flat list.
  std::vector<std::pair<uint32_t, int64_t>> new_references;
};

// The new reference of code, or nullptr when its Table B reference stands.
inline const int64_t* find_new_reference(const ValueCodingState& state, uint32_t code) {
  for (const auto& [c, reference] : state.new_references) {
    if (c == code) return &reference;
  }
  return nullptr;
}

// Back to the initial values, keeping the vectors' storage and setting the
// text counter (an uncompressed subset carries it over from the previous one).
void reset_coding_state(ValueCodingState& state, uint64_t text_counter);

// The next element the data-present bitmap designates (an entry of the
// history), nullptr when the bitmap has none left, or a Parse error when the
// bitmap points past the history.
[[nodiscard]] Result<const ElementDefinition*> next_bitmap_element(ValueCodingState& state);

}  // namespace tarvane
