// RecordBuffer storage: small blocks from malloc, large ones mapped.
#include <sys/mman.h>
#include <unistd.h>

#include "decoded_value.hpp"

namespace tarvane {

namespace {

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

void RecordBuffer::release_storage(DecodedValue* data, size_t capacity) {
  if (data == nullptr) return;
  if (is_mapped(capacity)) {
    munmap(data, capacity * sizeof(DecodedValue));
  } else {
    std::free(data);
  }
}

void RecordBuffer::grow_storage(size_t n) {
  if (!is_mapped(n)) {
    void* grown = std::realloc(data_, n * sizeof(DecodedValue));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<DecodedValue*>(grown);
    capacity_ = n;
    return;
  }
  // Whole pages, every byte of them used.
  const size_t page = page_size();
  const size_t bytes = (n * sizeof(DecodedValue) + page - 1) / page * page;
  void* grown;
  if (is_mapped(capacity_)) {
    grown = mremap(data_, capacity_ * sizeof(DecodedValue), bytes, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) throw std::bad_alloc();
  } else {
    grown = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED) throw std::bad_alloc();
    if (size_ != 0) std::memcpy(grown, data_, size_ * sizeof(DecodedValue));
    std::free(data_);
  }
  data_ = static_cast<DecodedValue*>(grown);
  capacity_ = bytes / sizeof(DecodedValue);
}

}  // namespace tarvane
