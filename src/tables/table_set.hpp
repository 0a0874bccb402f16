// Table B, Table D and the code tables, keyed by descriptor code. Filled once
// by a loader, read-only afterwards. Inserting under a present code replaces.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../descriptor.hpp"

namespace tarvane {

struct ElementDefinition {
  uint32_t code = 0;
  std::string abbreviation;
  std::string element_type;
  std::string name;
  std::string unit;
  int32_t scale = 0;
  int64_t reference = 0;
  uint16_t width = 0;
};

struct SequenceDefinition {
  uint32_t code = 0;
  std::vector<uint32_t> members;
};

// Code figure -> meaning, for one element.
using CodeTable = std::unordered_map<uint64_t, std::string>;

// Character data are recognised by their unit alone.
inline bool is_character_unit(std::string_view unit) { return unit == "CCITT IA5"; }

// "CODE TABLE", "Code table", "FLAG TABLE", ... (ecCodes and WMO spellings).
bool is_code_or_flag_unit(std::string_view unit);

// What reading asks of a Table B entry.
struct ElementInfo {
  const ElementDefinition* def = nullptr;
  const CodeTable* codes = nullptr;  // nullptr when the element has no code table
  bool is_text = false;
  bool class31 = false;
  // Code and flag tables keep their Table B width and scale under 2 01,
  // 2 02 and 2 07: those operators change quantities, not code figures.
  bool code_or_flag = false;
};

// Every Table B entry of a TableSet with its ElementInfo, in one flat
// open-addressed table: a lookup is a multiply and usually one probe, with
// nothing to fill per decoding call. Immutable once built.
class ElementIndex {
 public:
  ElementIndex(const std::unordered_map<uint32_t, ElementDefinition>& elements,
               const std::unordered_map<uint32_t, CodeTable>& code_tables);

  // nullptr when code is not in Table B.
  const ElementInfo* find(uint32_t code) const {
    for (size_t i = slot_of(code);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.code == code) return &s.info;
      if (s.code == kEmpty) return nullptr;
    }
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;  // no descriptor code
  struct Slot {
    uint32_t code = kEmpty;
    ElementInfo info;
  };
  size_t slot_of(uint32_t code) const { return (uint64_t{code} * 0x9E3779B97F4A7C15ull) >> shift_; }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
};

// A value derived from its owner and built on first use, by whichever thread
// asks first, under a lock; every later read is one atomic load. Threads may
// decode with one TableSet side by side. A copy starts without the value
// (it would point into the original), and so does the owner after reset().
template <class T>
class LazyValue {
 public:
  LazyValue() = default;
  LazyValue(const LazyValue&) {}
  LazyValue& operator=(const LazyValue&) {
    reset();
    return *this;
  }
  ~LazyValue() { delete value_.load(std::memory_order_relaxed); }

  template <class Build>
  const T& get(Build build) const {
    if (const T* v = value_.load(std::memory_order_acquire)) [[likely]]
      return *v;
    std::lock_guard<std::mutex> lock(mutex_);
    const T* v = value_.load(std::memory_order_relaxed);
    if (!v) {
      v = new T(build());
      value_.store(v, std::memory_order_release);
    }
    return *v;
  }
  // Not while another thread reads: the owner is being changed.
  void reset() { delete value_.exchange(nullptr, std::memory_order_acq_rel); }

 private:
  mutable std::mutex mutex_;
  mutable std::atomic<const T*> value_{nullptr};
};

struct TableSet {
  std::unordered_map<uint32_t, ElementDefinition> elements;
  std::unordered_map<uint32_t, SequenceDefinition> sequences;
  std::unordered_map<uint32_t, CodeTable> code_tables;

  void insert_element(ElementDefinition def) {
    uint32_t code = def.code;
    elements.insert_or_assign(code, std::move(def));
    element_index_.reset();
  }
  void insert_sequence(SequenceDefinition def) {
    uint32_t code = def.code;
    sequences.insert_or_assign(code, std::move(def));
  }
  void insert_code_table(uint32_t code, CodeTable table) {
    code_tables.insert_or_assign(code, std::move(table));
    element_index_.reset();
  }

  const ElementDefinition* find_element(uint32_t code) const {
    auto it = elements.find(code);
    return it == elements.end() ? nullptr : &it->second;
  }
  const SequenceDefinition* find_sequence(uint32_t code) const {
    auto it = sequences.find(code);
    return it == sequences.end() ? nullptr : &it->second;
  }
  // The meaning of code figure raw of element code, or nullptr.
  const std::string* code_meaning(uint32_t code, uint64_t raw) const {
    auto t = code_tables.find(code);
    if (t == code_tables.end()) return nullptr;
    auto m = t->second.find(raw);
    return m == t->second.end() ? nullptr : &m->second;
  }

  // Built by the first decoding and kept: the maps must not be changed
  // directly after that, only through insert_element and insert_code_table.
  const ElementIndex& element_index() const {
    return element_index_.get([this] { return ElementIndex(elements, code_tables); });
  }

 private:
  LazyValue<ElementIndex> element_index_;
};

}  // namespace tarvane
