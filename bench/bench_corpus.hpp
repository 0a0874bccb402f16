// The bundled corpus for the benchmarks: its edition-4 files and the
// messages in them.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fileio.hpp"

namespace tarvane::bench {

inline std::vector<std::string> corpus_files() {
  std::string dir = std::string(TARVANE_SOURCE_DIR) + "/tests/data/corpus/messages";
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') out.push_back(join_path(dir, e->d_name));
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
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
