// The bundled corpus for the benchmarks: its edition-4 files and the
// messages in them.
#pragma once

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fileio.hpp"
#include "tables/loaders.hpp"

namespace tarvane::bench {

inline std::vector<std::string> corpus_files() {
  const std::string dir = std::string(TARVANE_SOURCE_DIR) + "/tests/data/corpus/messages";
  return matching_files(dir, "", "").value_or(std::vector<std::string>{});
}

// Each "BUFR" marker with its declared length: damaged neighbours do not
// hide the sound messages of a file.
inline std::vector<std::span<const uint8_t>> candidate_messages(const std::vector<uint8_t>& data) {
  std::vector<std::span<const uint8_t>> out;
  for (size_t at = 0; at + 8 <= data.size(); ++at) {
    if (std::memcmp(data.data() + at, "BUFR", 4) != 0) continue;
    size_t len = (size_t{data[at + 4]} << 16) | (size_t{data[at + 5]} << 8) | data[at + 6];
    if (len < 8 || at + len > data.size()) continue;
    out.emplace_back(data.data() + at, len);
    at += len - 1;
  }
  return out;
}

}  // namespace tarvane::bench
