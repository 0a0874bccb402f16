#include "flag_meaning.hpp"

#include <algorithm>

namespace tarvane {

bool is_flag_unit(std::string_view unit) {
  constexpr std::string_view kFlag = "FLAG TABLE";
  return unit.size() == kFlag.size() && std::equal(unit.begin(), unit.end(), kFlag.begin(), [](char x, char y) {
           return (x >= 'a' && x <= 'z' ? x - 32 : x) == y;
         });
}

std::optional<std::string> flag_meaning(const CodeTable& codes, uint32_t width, uint64_t raw) {
  if (width == 0) return std::nullopt;
  const uint32_t bits = std::min<uint32_t>(width, 64);
  std::optional<std::string> out;
  for (uint32_t bit = 1; bit <= bits; ++bit) {
    if (((raw >> (bits - bit)) & 1) == 0) continue;
    auto entry = codes.find(bit);
    if (entry == codes.end()) continue;
    if (out) {
      *out += "; ";
      *out += entry->second;
    } else {
      out = entry->second;
    }
  }
  return out;
}

const ElementInfo* FlagElements::lookup(uint32_t code) const {
  const ElementInfo* info = index_.find(code);
  if (info == nullptr || info->codes == nullptr || !is_flag_unit(info->def->unit)) return nullptr;
  return info;
}

}  // namespace tarvane
