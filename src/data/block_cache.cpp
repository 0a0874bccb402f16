#include "block_cache.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <utility>

namespace tarvane {

namespace {

constexpr int kSmallestLog = 16;  // below: the allocator's heap serves well
constexpr int kLargestLog = 25;
constexpr size_t kSmallest = size_t{1} << kSmallestLog;
constexpr size_t kLargest = size_t{1} << kLargestLog;
constexpr size_t kSteps = 4;  // classes per power of two

// The smallest class holding bytes (kSmallest <= bytes <= kLargest):
// class 0 is kSmallest, then kSteps classes in each power of two.
size_t class_of(size_t bytes) {
  if (bytes <= kSmallest) return 0;
  const int log = std::bit_width(bytes - 1) - 1;  // 2^log < bytes <= 2^(log+1)
  const size_t base = size_t{1} << log;
  const size_t quarter = base / kSteps;
  const size_t step = (bytes - base + quarter - 1) / quarter;  // 1..kSteps
  return static_cast<size_t>(log - kSmallestLog) * kSteps + step;
}

size_t class_bytes(size_t c) {
  if (c == 0) return kSmallest;
  const size_t base = kSmallest << ((c - 1) / kSteps);
  return base + base / kSteps * ((c - 1) % kSteps + 1);
}

}  // namespace

static_assert((kLargestLog - kSmallestLog) * kSteps + 1 == 37);

size_t BlockCache::block_bytes(size_t bytes) {
  if (bytes < kSmallest || bytes > kLargest) return 0;
  return class_bytes(class_of(bytes));
}

size_t BlockCache::kept() const {
  std::lock_guard lock(mutex_);
  return kept_;
}

void* BlockCache::take(size_t bytes, size_t& block) noexcept {
  if (bytes < kSmallest || bytes > kLargest) return nullptr;
  const size_t c = class_of(bytes);
  {
    std::lock_guard lock(mutex_);
    // Its own class, or one a step or two larger (a quarter to a half more
    // memory than asked for beats faulting in a fresh block).
    for (size_t k = c; k < std::min(kClasses, c + 3); ++k) {
      if (free_[k].empty()) continue;
      void* kept = free_[k].back();  // the last given back: the likeliest in cache
      free_[k].pop_back();
      kept_ -= class_bytes(k);
      block = class_bytes(k);
      return kept;
    }
  }
  void* p = mmap(nullptr, class_bytes(c), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  block = class_bytes(c);
  return p;
}

void BlockCache::give_back(void* data, size_t block) noexcept {
  const size_t c = class_of(block);  // block is a class's own size
  const size_t size = block;
  std::vector<std::pair<void*, size_t>> gone;  // unmapped outside the lock
  {
    std::lock_guard lock(mutex_);
    // Room is made from the classes that keep the most: a reader that
    // moves on to messages of other sizes does not find the cache full of
    // blocks it no longer asks for.
    while (kept_ + size > kept_at_most_ && kept_ > 0) {
      size_t fullest = 0;
      for (size_t k = 1; k < kClasses; ++k) {
        if (free_[k].size() * class_bytes(k) > free_[fullest].size() * class_bytes(fullest)) fullest = k;
      }
      try {
        gone.emplace_back(free_[fullest].back(), class_bytes(fullest));
      } catch (...) {
        break;
      }
      free_[fullest].pop_back();
      kept_ -= class_bytes(fullest);
    }
    if (kept_ + size <= kept_at_most_) {
      try {
        free_[c].push_back(data);
        kept_ += size;
        data = nullptr;
      } catch (...) {  // the list could not grow: the block goes back
      }
    }
  }
  for (const auto& [block, block_size] : gone) munmap(block, block_size);
  if (data != nullptr) munmap(data, size);
}

BlockCache::~BlockCache() {
  for (size_t c = 0; c < kClasses; ++c) {
    for (void* block : free_[c]) munmap(block, class_bytes(c));
  }
}

}  // namespace tarvane
