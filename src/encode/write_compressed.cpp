#include "writer.hpp"

namespace tarvane {

Status write_compressed(std::span<const uint32_t>, WriteContext&, std::span<ValueSource* const>) {
  return fail(BufrError::encode("compressed data cannot be written yet"));
}

}  // namespace tarvane
