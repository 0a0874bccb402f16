#include "descriptor.hpp"

namespace tarvane {

std::string code_text(uint64_t code) {
  std::string digits = std::to_string(code);
  if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
  return digits;
}

}  // namespace tarvane
