// Column storage kept between messages: the blocks of the columns a reader
// has dropped, handed to the next message decoded on any thread.
#pragma once

#include <pthread.h>

#include <array>
#include <cstddef>
#include <mutex>
#include <vector>

#include "to_columns.hpp"

namespace tarvane {

// Blocks from 64 KiB to 32 MiB are mapped in size classes a quarter of a
// power of two apart and kept, up to kept_at_most bytes, when given back;
// the rest go back to the system. Smaller and larger storage is not its.
class BlockCache final : public StorageSource {
 public:
  explicit BlockCache(size_t kept_at_most) : kept_at_most_(kept_at_most) {}
  ~BlockCache();
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  void* take(size_t bytes, size_t& block) noexcept override;
  void give_back(void* data, size_t block) noexcept override;

  // The size of the block that serves bytes, or 0 when they are not the
  // cache's.
  static size_t block_bytes(size_t bytes);
  // What it keeps now.
  size_t kept() const;

  // For hold_lock_across_fork.
  void lock_for_fork() noexcept { mutex_.lock(); }
  void unlock_after_fork() noexcept { mutex_.unlock(); }

 private:
  static constexpr size_t kClasses = 37;

  const size_t kept_at_most_;
  mutable std::mutex mutex_;
  std::array<std::vector<void*>, kClasses> free_;
  size_t kept_ = 0;
};

// Has the thread that forks hold cache()'s lock across fork(), so that a
// child never starts with it taken by a thread it does not have. cache
// returns the process's one cache, which must outlive every fork.
template <BlockCache* (*cache)()>
void hold_lock_across_fork() {
  pthread_atfork([] { cache()->lock_for_fork(); }, [] { cache()->unlock_after_fork(); },
                 [] { cache()->unlock_after_fork(); });
}

}  // namespace tarvane
