#include <algorithm>
#include <bit>

#include "table_set.hpp"

namespace tarvane {

bool is_code_or_flag_unit(std::string_view unit) {
  auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return (x >= 'a' && x <= 'z' ? x - 32 : x) == y;
           });
  };
  return same(unit, "CODE TABLE") || same(unit, "FLAG TABLE");
}


ElementIndex::ElementIndex(const std::unordered_map<uint32_t, ElementDefinition>& elements,
                           const std::unordered_map<uint32_t, CodeTable>& code_tables) {
  // At most half full, so that a miss ends soon.
  size_t capacity = std::bit_ceil(2 * elements.size() + 2);
  slots_.resize(capacity);
  mask_ = capacity - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  for (const auto& [code, def] : elements) {
    size_t i = slot_of(code);
    while (slots_[i].code != kEmpty) i = (i + 1) & mask_;
    Slot& s = slots_[i];
    s.code = code;
    s.info.def = &def;
    auto t = code_tables.find(code);
    if (t != code_tables.end()) s.info.codes = &t->second;
    s.info.is_text = is_character_unit(def.unit);
    s.info.class31 = is_class31(code);
    s.info.code_or_flag = is_code_or_flag_unit(def.unit);
  }
}

}  // namespace tarvane
