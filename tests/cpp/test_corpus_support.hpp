// The real corpus for the C++ tests: its files, the messages in them, and
// record equality.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <span>
#include <string>
#include <vector>

#include "data/decoded_value.hpp"
#include "fileio.hpp"
#include "message/message.hpp"
#include "tables/loaders.hpp"

namespace tarvane::corpus_test {

using namespace tarvane;

inline const char* kDefinitions = "/usr/share/eccodes/definitions";
inline const std::string kMessages = std::string(TARVANE_TEST_DATA) + "/corpus/messages";

inline const std::string kEdition3 = std::string(TARVANE_TEST_DATA) + "/corpus/edition3/messages";

// Edition-4 files, then the edition-3 ones.
inline std::vector<std::string> corpus_files() {
  std::vector<std::string> all;
  for (const std::string& dir : {kMessages, kEdition3}) {
    std::vector<std::string> files = matching_files(dir, "", "").value_or(std::vector<std::string>{});
    all.insert(all.end(), files.begin(), files.end());
  }
  return all;
}

// Every "BUFR" marker whose declared length fits the file.
inline std::vector<std::span<const uint8_t>> candidates(const std::vector<uint8_t>& data) {
  std::vector<std::span<const uint8_t>> out;
  for (size_t at = 0; at + 8 <= data.size(); ++at) {
    if (std::memcmp(data.data() + at, "BUFR", 4) != 0) continue;
    size_t len = (size_t{data[at + 4]} << 16) | (size_t{data[at + 5]} << 8) | data[at + 6];
    if (len >= 8 && at + len <= data.size()) out.emplace_back(data.data() + at, len);
  }
  return out;
}

inline bool text_in_range(const DecodeResult& r, const DecodedValue& v) {
  return v.text == DecodedValue::kNoText || v.text < r.texts.size();
}

inline bool same_record(const DecodeResult& a, const DecodedValue& x, const DecodeResult& b, const DecodedValue& y) {
  if (!text_in_range(a, x) || !text_in_range(b, y)) return false;
  return x.descriptor == y.descriptor && a.raw_text(x) == b.raw_text(y) &&
         std::memcmp(&x.value, &y.value, sizeof(double)) == 0 && x.raw == y.raw && x.name.data() == y.name.data() &&
         x.name.size() == y.name.size() && x.meaning == y.meaning && x.has_value == y.has_value &&
         x.has_raw == y.has_raw;
}

// The ecCodes tables of each message, loaded once per table version and
// centre; nullptr where they do not load.
class CorpusTables {
 public:
  const TableSet* find(const BufrMessage& m) {
    auto key = std::make_tuple(m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
                               m.originating_centre, m.originating_subcentre);
    auto [at, fresh] = sets_.try_emplace(key);
    if (fresh) {
      if (auto t = from_eccodes_definitions(kDefinitions, m)) at->second = std::make_unique<TableSet>(std::move(*t));
    }
    return at->second.get();
  }

 private:
  std::map<std::tuple<int, int, int, int, int>, std::unique_ptr<TableSet>> sets_;
};

}  // namespace tarvane::corpus_test
