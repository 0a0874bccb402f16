#include "to_columns.hpp"

#include <sys/mman.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <unordered_map>

#include "decode.hpp"

namespace tarvane {

namespace {
// Below this, the allocator's heap: its freed pages are reused by the next
// decode instead of faulted in afresh (a page fault per 4 KiB cost a quarter
// of a large satellite message's decode). Above it, a mapping of its own
// that munmap returns to the system at once, so one huge message does not
// leave the heap swollen for the life of the process.
constexpr size_t kMapThreshold = size_t{16} << 20;
}  // namespace

ColumnStorage ColumnStorage::allocate(size_t bytes) {
  ColumnStorage s;
  if (bytes == 0) return s;
  if (bytes >= kMapThreshold) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    s.data_ = p;
    s.mapped_ = true;
  } else {
    s.data_ = std::malloc(bytes);
    if (s.data_ == nullptr) throw std::bad_alloc();
  }
  s.bytes_ = bytes;
  return s;
}

ColumnStorage::~ColumnStorage() {
  if (data_ == nullptr) return;
  if (mapped_) {
    munmap(data_, bytes_);
  } else {
    std::free(data_);
  }
}

Result<MessageColumns> decode_columns(const BufrMessage& message, const TableSet& tables,
                                      std::span<const uint8_t> payload) {
  TARVANE_TRY(DecodeResult decoded, decode_uncompressed_values(message, tables, payload));
  const size_t n = decoded.values.size();
  if (n > std::numeric_limits<uint32_t>::max()) return fail(BufrError::parse("decoded output exceeds 4294967295 values"));
  MessageColumns out;
  out.subsets = message.number_of_subsets;
  out.subset = Column<uint32_t>::make(n);
  out.descriptor = Column<uint32_t>::make(n);
  out.value = Column<double>::make(n);
  out.raw = Column<uint64_t>::make(n);

  // Subset numbers: compressed records come subset after subset, equally
  // many each; uncompressed subsets start where the walk recorded.
  uint32_t* subset = out.subset.data();
  if (message.compressed_data) {
    const size_t per = message.number_of_subsets == 0 ? 0 : n / message.number_of_subsets;
    for (size_t s = 0, i = 0; s < message.number_of_subsets; ++s) {
      for (size_t k = 0; k < per; ++k) subset[i++] = static_cast<uint32_t>(s + 1);
    }
  } else {
    const std::vector<size_t>& starts = decoded.subset_starts;
    for (size_t s = 0; s < starts.size(); ++s) {
      const size_t end = s + 1 < starts.size() ? starts[s + 1] : n;
      for (size_t i = starts[s]; i < end; ++i) subset[i] = static_cast<uint32_t>(s + 1);
    }
  }

  uint32_t* descriptor = out.descriptor.data();
  double* value = out.value.data();
  uint64_t* raw = out.raw.data();
  std::unordered_map<const std::string*, uint32_t> meaning_ids;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (size_t i = 0; i < n; ++i) {
    const DecodedValue& v = decoded.values[i];
    descriptor[i] = v.descriptor;
    const bool number = v.has_value && v.has_raw;
    value[i] = number ? v.value : nan;
    raw[i] = number ? v.raw : 0;
    if (v.text != DecodedValue::kNoText) [[unlikely]] {
      out.text_records.push_back(static_cast<uint32_t>(i));
      out.texts.push_back(decoded.texts[v.text]);  // a constant compressed column shares one text
    }
    if (v.meaning != nullptr) {
      auto [it, added] = meaning_ids.try_emplace(v.meaning, static_cast<uint32_t>(out.meanings.size()));
      if (added) out.meanings.push_back(*v.meaning);
      out.meaning_records.push_back(static_cast<uint32_t>(i));
      out.meaning_ids.push_back(it->second);
    }
  }
  return out;
}

DescriptorIndex index_descriptors(std::span<const uint32_t> descriptors) {
  DescriptorIndex out;
  out.index = Column<int32_t>::make(descriptors.size());
  int32_t* index = out.index.data();
  std::unordered_map<uint32_t, int32_t> seen;
  uint32_t last = 0;
  int32_t last_index = -1;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    const uint32_t code = descriptors[i];
    if (code != last || last_index < 0) {
      auto [it, added] = seen.try_emplace(code, static_cast<int32_t>(out.codes.size()));
      if (added) out.codes.push_back(code);
      last = code;
      last_index = it->second;
    }
    index[i] = last_index;
  }
  return out;
}

}  // namespace tarvane
