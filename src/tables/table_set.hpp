// Table B, Table D and the code tables, keyed by descriptor code. Filled once
// by a loader, read-only afterwards. Inserting under a present code replaces.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

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

struct TableSet {
  std::unordered_map<uint32_t, ElementDefinition> elements;
  std::unordered_map<uint32_t, SequenceDefinition> sequences;
  std::unordered_map<uint32_t, CodeTable> code_tables;

  void insert_element(ElementDefinition def) {
    uint32_t code = def.code;
    elements.insert_or_assign(code, std::move(def));
  }
  void insert_sequence(SequenceDefinition def) {
    uint32_t code = def.code;
    sequences.insert_or_assign(code, std::move(def));
  }
  void insert_code_table(uint32_t code, CodeTable table) { code_tables.insert_or_assign(code, std::move(table)); }

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
};

}  // namespace tarvane
