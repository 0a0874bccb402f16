#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "../../src/data/block_cache.hpp"

namespace tarvane {
namespace {

TEST(BlockCache, EverySizeGetsABlockAtLeastAsLargeAndAtMostAQuarterMore) {
  for (size_t bytes : {size_t{65536}, size_t{65537}, size_t{81920}, size_t{81921}, size_t{131072},
                       size_t{131073}, size_t{1000000}, size_t{3 << 20}, (size_t{32} << 20) - 1, size_t{32} << 20}) {
    const size_t block = BlockCache::block_bytes(bytes);
    EXPECT_GE(block, bytes) << bytes;
    EXPECT_LE(block, bytes + bytes / 4) << bytes;
  }
  EXPECT_EQ(BlockCache::block_bytes(65535), 0u);
  EXPECT_EQ(BlockCache::block_bytes((size_t{32} << 20) + 1), 0u);
}

TEST(BlockCache, ColumnsTakeWhatWasGivenBackUpToTheBound) {
  BlockCache cache(size_t{1} << 20);
  const size_t n = 100000;  // doubles: 800000 bytes, one block of the bound
  const size_t block = BlockCache::block_bytes(n * sizeof(double));
  Column<double> first = Column<double>::make(n, &cache);
  std::memset(first.data(), 0xff, n * sizeof(double));  // the whole block is usable
  const void* kept = first.data();
  first = Column<double>{};
  EXPECT_EQ(cache.kept(), block);
  // A class or two smaller takes it too.
  Column<double> again = Column<double>::make(n * 3 / 4, &cache);
  EXPECT_EQ(again.data(), kept);
  EXPECT_EQ(cache.kept(), 0u);
  // Past the bound a block goes back to the system.
  Column<double> other = Column<double>::make(n, &cache);
  again = Column<double>{};
  other = Column<double>{};
  EXPECT_EQ(cache.kept(), block);
  // A block of another size makes room for itself.
  Column<double> larger = Column<double>::make(n * 5 / 4, &cache);
  larger = Column<double>{};
  EXPECT_EQ(cache.kept(), BlockCache::block_bytes(n * 5 / 4 * sizeof(double)));
  // Outside its sizes the cache gives nothing and the column the system's storage.
  Column<double> small = Column<double>::make(100, &cache);
  small.data()[99] = 1.0;
  size_t given = 0;
  EXPECT_EQ(cache.take(100, given), nullptr);
}

BlockCache* forked_cache() {
  static BlockCache* cache = new BlockCache(size_t{1} << 20);
  return cache;
}

TEST(BlockCache, AChildForkedWhileAnotherThreadHoldsTheLockCanTakeABlock) {
  hold_lock_across_fork<forked_cache>();
  std::atomic<bool> holding = false;
  std::thread holder([&] {
    forked_cache()->lock_for_fork();
    holding = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    forked_cache()->unlock_after_fork();
  });
  while (!holding) std::this_thread::yield();
  const pid_t child = fork();
  if (child == 0) {
    alarm(5);  // waiting on a lock nobody in the child holds ends here
    size_t block = 0;
    void* p = forked_cache()->take(size_t{1} << 16, block);
    _exit(p != nullptr ? 0 : 1);
  }
  holder.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child hung or failed: status " << status;
}

}  // namespace
}  // namespace tarvane
