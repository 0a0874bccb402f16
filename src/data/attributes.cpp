#include "attributes.hpp"

#include <climits>
#include <cmath>
#include <optional>
#include <unordered_map>

namespace tarvane {

namespace {

constexpr uint32_t kBitmapEntryCode = 31031;
constexpr uint32_t kSignificanceCode = 31021;
constexpr uint32_t kAssociatedCode = 999999;

constexpr uint32_t class_of(uint32_t code) { return (code / 1000) % 100; }

constexpr bool is_marker_operator(uint32_t x) { return x == 23 || x == 24 || x == 25 || x == 32; }

// The decoder's bitmap bookkeeping, replayed from the records: which
// elements count for a bitmap (every element record but bitmap entries,
// marker values and associated fields) and where the bitmap lies over them.
class SubsetWalk {
 public:
  SubsetWalk(std::span<const uint32_t> descriptor, std::span<const double> value, AttributeColumns& out)
      : descriptor_(descriptor), value_(value), out_(out), refers_to_(out.refers_to.data()) {}

  void run(size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      const uint32_t code = descriptor_[r];
      if (code == kAssociatedCode) {
        on_associated_field(r);
      } else if (code >= 200000 && code < 300000) {
        if (class_of(code) != 5) on_operator(code);
      } else if (code == kBitmapEntryCode && (bitmap_follows_ || collecting_)) {
        on_bitmap_entry(r);
      } else {
        on_element(r, code);
      }
    }
  }

 private:
  void on_operator(uint32_t code) {
    const uint32_t x = class_of(code);
    const uint32_t y = code % 1000;
    bitmap_follows_ = false;
    if (y == 0 && (x == 22 || is_marker_operator(x))) {
      operator_ = x;
      if (!operator_anchor_) operator_anchor_ = history_.size();
      bitmap_follows_ = true;
    } else if (x == 36 && y == 0) {
      start_bitmap(history_.size());
    } else if ((x == 35 && y == 0) || (x == 37 && y != 0)) {
      bitmap_.clear();
      anchor_ = 0;
      cursor_ = 0;
    } else if (x == 37) {
      cursor_ = 0;
    }
  }

  void start_bitmap(size_t anchor) {
    collecting_ = true;
    bitmap_follows_ = false;
    bitmap_.clear();
    cursor_ = 0;
    anchor_ = anchor;
  }

  void on_bitmap_entry(size_t r) {
    if (bitmap_follows_) start_bitmap(operator_anchor_.value_or(history_.size()));
    const double v = value_[r];
    if (std::isnan(v)) return;  // a missing entry is no entry
    bitmap_.push_back(v == 1.0);
  }

  void on_associated_field(size_t r) {
    pending_field_ = r;
    if (significance_ && refers_to_[*significance_] < 0) refers_to_[*significance_] = static_cast<int32_t>(r);
  }

  void on_element(size_t r, uint32_t code) {
    const uint32_t x = class_of(code);
    if (pending_field_ && x != 31) {
      attach(*pending_field_, r, kAssociatedCode);
      pending_field_.reset();
    }
    if (is_marker_operator(operator_)) {
      const std::optional<size_t> target = designated();
      if (target && descriptor_[*target] == code) {
        cursor_ = next_position_ + 1;
        attach(r, *target, 200255 + operator_ * 1000);
        out_.marker_records.push_back(static_cast<uint32_t>(r));
        out_.marker_operators.push_back(200255 + operator_ * 1000);
        return;
      }
    }
    if (x == 33) {
      on_class33(r, code);
    } else if (x != 31) {
      previous_ = r;
    } else if (code == kSignificanceCode) {
      significance_ = r;
    }
    history_.push_back(static_cast<uint32_t>(r));
  }

  // Quality values after 2 22 000 qualify the elements its bitmap
  // designates, in order; elsewhere a class 33 element qualifies the
  // element before it.
  void on_class33(size_t r, uint32_t code) {
    if (operator_ == 22 && !bitmap_.empty()) {
      const std::optional<size_t> target = designated();
      if (!target) return;
      cursor_ = next_position_ + 1;
      attach(r, *target, code);
    } else if (previous_) {
      attach(r, *previous_, code);
    }
  }

  // The record of the next element the bitmap designates, without taking it.
  std::optional<size_t> designated() {
    const size_t size = bitmap_.size();
    const size_t base = anchor_ >= size ? anchor_ - size : 0;
    for (size_t pos = cursor_; pos < size; ++pos) {
      if (bitmap_[pos]) continue;
      if (base + pos >= history_.size()) return std::nullopt;
      next_position_ = pos;
      return history_[base + pos];
    }
    return std::nullopt;
  }

  // A second attribute of one kind qualifies the first, and so on down.
  void attach(size_t attribute, size_t target, uint32_t kind) {
    uint64_t key = (uint64_t{static_cast<uint32_t>(target)} << 32) | kind;
    for (auto it = children_.find(key); it != children_.end(); it = children_.find(key)) {
      target = it->second;
      key = (uint64_t{static_cast<uint32_t>(target)} << 32) | kind;
    }
    refers_to_[attribute] = static_cast<int32_t>(target);
    children_.emplace(key, static_cast<uint32_t>(attribute));
  }

  std::span<const uint32_t> descriptor_;
  std::span<const double> value_;
  AttributeColumns& out_;
  int32_t* refers_to_;
  std::vector<uint32_t> history_;
  std::vector<bool> bitmap_;  // true where the bit says "not designated"
  std::optional<size_t> operator_anchor_;
  size_t anchor_ = 0;
  size_t cursor_ = 0;
  size_t next_position_ = 0;
  uint32_t operator_ = 0;
  bool bitmap_follows_ = false;
  bool collecting_ = false;
  std::optional<size_t> previous_;
  std::optional<size_t> pending_field_;
  std::optional<size_t> significance_;
  std::unordered_map<uint64_t, uint32_t> children_;
};

// Records that can qualify or carry a bitmap: most messages have none, and
// then no walk is needed.
bool may_have_attributes(std::span<const uint32_t> descriptor) {
  for (const uint32_t code : descriptor) {
    if (code == kAssociatedCode || class_of(code) == 33) return true;
    if (code == 223000 || code == 224000 || code == 225000 || code == 232000) return true;
  }
  return false;
}

}  // namespace

AttributeColumns find_attributes(std::span<const uint32_t> descriptor, std::span<const double> value,
                                 std::span<const uint32_t> subset) {
  AttributeColumns out;
  const size_t n = descriptor.size();
  out.refers_to = Column<int32_t>::make(n);
  int32_t* refers_to = out.refers_to.data();
  for (size_t i = 0; i < n; ++i) refers_to[i] = -1;
  // An index must fit the int32 column; beyond that (over 2^31 records,
  // some 50 GB of columns) no record is said to qualify another.
  if (n > static_cast<size_t>(INT32_MAX) || !may_have_attributes(descriptor)) return out;
  size_t begin = 0;
  while (begin < n) {
    size_t end = begin + 1;
    while (end < n && subset[end] == subset[begin]) ++end;
    SubsetWalk(descriptor, value, out).run(begin, end);
    begin = end;
  }
  return out;
}

}  // namespace tarvane
