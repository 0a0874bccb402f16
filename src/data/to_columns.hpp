// A decoded message as columns: one array per field, one entry per record,
// in the order of the flat record list. What the reading layer hands to
// NumPy without a Python object per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../error.hpp"
#include "../message/message.hpp"
#include "../tables/table_set.hpp"
#include "decoded_value.hpp"

namespace tarvane {

// Where column storage may come from instead of the system. A caller that
// decodes on several threads keeps freed blocks in one for the next
// message: the allocator's per-thread heaps hand a block freed by another
// thread back to the system, to be faulted in afresh.
class StorageSource {
 public:
  // At least bytes of storage, or nullptr for the system's; block is set
  // to the size of what it gives.
  virtual void* take(size_t bytes, size_t& block) noexcept = 0;
  // A block take gave, with the size it set.
  virtual void give_back(void* data, size_t block) noexcept = 0;

 protected:
  ~StorageSource() = default;
};

// Uninitialised storage for n items of a trivial type. Large arrays come
// straight from the operating system, so freeing them gives the memory
// back instead of leaving it in the allocator's heap.
class ColumnStorage {
 public:
  ColumnStorage() = default;
  ColumnStorage(const ColumnStorage&) = delete;
  ColumnStorage& operator=(const ColumnStorage&) = delete;
  ColumnStorage(ColumnStorage&& other) noexcept { swap(other); }
  ColumnStorage& operator=(ColumnStorage&& other) noexcept {
    ColumnStorage gone(std::move(other));
    swap(gone);
    return *this;
  }
  ~ColumnStorage();

  // Throws std::bad_alloc when the memory cannot be had. From source
  // where it has the block.
  static ColumnStorage allocate(size_t bytes, StorageSource* source = nullptr);

  void* data() const { return data_; }
  size_t bytes() const { return bytes_; }
  void swap(ColumnStorage& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    std::swap(mapped_, other.mapped_);
    std::swap(source_, other.source_);
  }

 private:
  void* data_ = nullptr;
  size_t bytes_ = 0;
  bool mapped_ = false;
  StorageSource* source_ = nullptr;
};

template <typename T>
struct Column {
  ColumnStorage storage;
  size_t size = 0;

  static Column make(size_t n, StorageSource* source = nullptr) {
    return Column{ColumnStorage::allocate(n * sizeof(T), source), n};
  }
  T* data() const { return static_cast<T*>(storage.data()); }
};

struct MessageColumns {
  uint32_t subsets = 0;
  Column<uint32_t> subset;      // numbered from 1
  Column<uint32_t> descriptor;
  Column<double> value;         // NaN where missing or not a number
  Column<uint64_t> raw;         // 0 where value is NaN; only when full
  // Compressed data: the descriptor of each place of a subset's records,
  // which every subset shares. subset and descriptor are left empty then:
  // record i is of subset i / positions.size() + 1 and has descriptor
  // positions[i % positions.size()].
  std::vector<uint32_t> positions;
  bool compressed = false;
  // Sparse: the records that carry a text, and their texts in that order.
  std::vector<uint32_t> text_records;
  std::vector<std::string> texts;
  // Sparse, only when full: the records that carry a code-table meaning,
  // which of the distinct meanings each one has, and those meanings.
  std::vector<uint32_t> meaning_records;
  std::vector<uint32_t> meaning_ids;
  std::vector<std::string> meanings;
};

// Decodes section 4 of message (payload: its data octets) into columns.
// scratch holds the records of uncompressed data on the way; a caller that
// keeps it between calls saves allocating and faulting in fresh memory for
// every message. full: whether raw and the meanings are filled, which
// most readers never ask for. source: where the value and raw columns'
// storage comes from (see StorageSource). Touches no shared state but the
// read-only tables and source.
[[nodiscard]] Result<MessageColumns> decode_columns(const BufrMessage& message, const TableSet& tables,
                                                    std::span<const uint8_t> payload, DecodeResult& scratch,
                                                    bool full, StorageSource* source = nullptr);

// The distinct descriptors of a column in order of first appearance, and for
// each record the index of its descriptor among them.
struct DescriptorIndex {
  std::vector<uint32_t> codes;
  Column<int32_t> index;
};
DescriptorIndex index_descriptors(std::span<const uint32_t> descriptors);

}  // namespace tarvane
