// A leaf of the map that cannot be had (a seam refuses the commits), with the stand-in
// placing a moved block in a region without a leaf yet: no block is handed out
// unmarked, the blocks given up go back to jemalloc, and the moved block's contents
// survive. Built for x86-64 only: a 32-bit map is made whole when jemalloc is bound.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "../host.h"
#include "page_map.h"
#include "standin.h"

namespace {
bool refuse;
bool refusing_commit(void* at, size_t bytes) { return !refuse && prim_commit(at, bytes); }

bool holds(const void* p, unsigned char value, size_t size) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < size; ++i) {
    if (b[i] != value) return false;
  }
  return true;
}

TEST(CommitFails, MovedBlocksContentsMoveOn) {
  init(counting_realloc);
  ASSERT_NE(page_map_limit, 0u) << jem_missing;
  set_page_map_commit(refusing_commit);
  void* p = tarnheap(100);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(is_marked(p));
  memset(p, 0x5a, 100);

  // jemalloc moves the block far away, where the leaf is refused: its contents move on
  // to a new jemalloc block in a region with a leaf ...
  const uintptr_t distant = uintptr_t(1) << 46;
  refuse = true;
  set_place(distant, 1);
  void* q = rrealloc(p, 200);
  ASSERT_NE(q, nullptr);
  EXPECT_LT(uintptr_t(q), distant);
  EXPECT_TRUE(is_marked(q));
  EXPECT_TRUE(holds(q, 0x5a, 100));

  // ... else to a block of the host's routine, and every far block goes back.
  jem_counts before = jem_now();
  set_place(distant, 2);
  void* r = rrealloc(q, 300);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(host_calls, 1);
  EXPECT_EQ(host_block, nullptr);
  EXPECT_FALSE(is_marked(r));
  EXPECT_TRUE(holds(r, 0x5a, 100));
  EXPECT_EQ(jem_now().freed, before.freed + 3);  // the old block and both far ones
  free(r);
  EXPECT_EQ(host_calls, 1);

  // Nor from the host's routine: null, with jemalloc's error, and the block is gone.
  void* t = tarnheap(100);
  ASSERT_NE(t, nullptr);
  init(nullptr);
  before = jem_now();
  set_place(distant, 2);
  SetLastError(0);
  EXPECT_EQ(rrealloc(t, 300), nullptr);
  EXPECT_EQ(GetLastError(), 12u);
  EXPECT_EQ(jem_now().freed, before.freed + 3);
  set_page_map_commit(prim_commit);
}
}  // namespace
