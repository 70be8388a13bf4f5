// Binding through the internal seam: a missing jemalloc, a library whose entries resolve
// elsewhere, and a second init that fails to bind; a leaf of the map that cannot be had.
// Each suite runs in its own process.
#include <gtest/gtest.h>

#include <cerrno>
#ifdef _WIN32
#include <windows.h>
#endif

#include "host.h"
#include "page_map.h"
#include "prim/prim.h"
#include "router.h"

namespace {
#ifdef _WIN32
const char* const missing[] = {"no-such-jemalloc.dll", nullptr};
// Has none of the je_ entries; not loaded before, as jemalloc would not be.
const char* const wrong[] = {"version.dll", nullptr};
// jemalloc's error, as jemalloc.dll reports it: the thread's last-error value.
void clear_error() { SetLastError(0); }
int last_error() { return int(GetLastError()); }
#else
const char* const missing[] = {"$ORIGIN/libno-such-jemalloc.so", "libno-such-jemalloc.so.2",
                               nullptr};
// A lookup of "malloc" through libutil's handle finds the C library's, a dependency.
const char* const wrong[] = {"libutil.so.1", nullptr};
void clear_error() { errno = 0; }
int last_error() { return errno; }
#endif

void expect_unavailable() {
  EXPECT_EQ(page_map_limit, 0u);
  host_calls = 0;
  void* p = tarnheap(64);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(host_calls, 1);
  EXPECT_FALSE(is_marked(p));
  free(p);
}

TEST(Missing, LibraryLeavesJemallocUnbound) {
  set_jemalloc_libraries(missing);
  EXPECT_EQ(init(counting_realloc), &counting_realloc);
  expect_unavailable();

  // Without a host routine, nothing can be served, and nothing crashes.
  EXPECT_EQ(init(nullptr), nullptr);
  EXPECT_EQ(tarnheap(64), nullptr);
  EXPECT_EQ(rcalloc(2, 64), nullptr);
  EXPECT_EQ(rrealloc(nullptr, 64), nullptr);
}

TEST(Wrong, LibraryEntriesFromElsewhereAreNotJemalloc) {
  set_jemalloc_libraries(wrong);
  init(counting_realloc);
  expect_unavailable();
}

void* TARNHEAP_CALL second_realloc(void* block, size_t size) {
  ++host_calls;
  host_size = size;
  return block;
}

TEST(Rebind, FailedRebindKeepsJemallocAndTheMarks) {
  init(counting_realloc);
  std::atomic<uintptr_t>* map = page_map;
  ASSERT_NE(map, nullptr);
  void* p = tarnheap(100);
  ASSERT_TRUE(is_marked(p));

  // The host's routine is replaced; jemalloc and the map stay.
  set_jemalloc_libraries(missing);
  EXPECT_EQ(init(second_realloc), &second_realloc);
  EXPECT_EQ(page_map, map);
  EXPECT_TRUE(is_marked(p));
  host_calls = 0;
  void* q = tarnheap(100);
  ASSERT_NE(q, nullptr);
  EXPECT_TRUE(is_marked(q));
  EXPECT_EQ(host_calls, 0);
  int local = 0;
  EXPECT_EQ(rrealloc(&local, 77), &local);
  EXPECT_EQ(host_size, 77u);
  EXPECT_EQ(host_calls, 1);
  host_calls = 0;

  // A good rebind loads the same library again and leaves the map alone.
  set_jemalloc_libraries(prim_jemalloc_libraries);
  init(counting_realloc);
  EXPECT_EQ(page_map, map);
  EXPECT_TRUE(is_marked(p));
  p = rrealloc(p, 4000);
  EXPECT_TRUE(is_marked(p));
  rfree(p);
  rfree(q);
  EXPECT_EQ(host_calls, 0);
}
// A null result from jemalloc marks page 0, whichever export had it. The host tests
// cover tarnheap; these two suites run alone too, as page 0 stays marked.
TEST(NullFromCalloc, MarksPageZero) {
  init(counting_realloc);
  ASSERT_FALSE(is_marked(nullptr));
  EXPECT_EQ(rcalloc(SIZE_MAX / 2 + 1, 2), nullptr);
  EXPECT_TRUE(is_marked(nullptr));
}

TEST(NullFromRealloc, MarksPageZero) {
  init(counting_realloc);
  void* p = tarnheap(8);
  ASSERT_FALSE(is_marked(nullptr));
  EXPECT_EQ(rrealloc(p, SIZE_MAX), nullptr);
  EXPECT_TRUE(is_marked(nullptr));
  rfree(p);
}

// A region's first block when its leaf cannot be had (a seam refuses the commits; no
// region has a leaf yet in this process): it goes back to jemalloc, and the host gets
// null with jemalloc's error, ENOMEM (12). Only on 64-bit targets, where leaves are made
// as needed; 64-bit Windows also shows a moved block's contents moving on.
bool refuse;
bool refusing_commit(void* at, size_t bytes) { return !refuse && prim_commit(at, bytes); }

TEST(LeafRefused, NewBlocksGoBackToJemalloc) {
  init(counting_realloc);
  ASSERT_NE(page_map_limit, 0u) << jem_missing;
  set_page_map_commit(refusing_commit);
  refuse = true;
  host_calls = 0;
  jem_counts start = jem_now();
  clear_error();
  EXPECT_EQ(tarnheap(100), nullptr);
  EXPECT_EQ(last_error(), 12);
  EXPECT_EQ(rcalloc(4, 25), nullptr);
  jem_counts end = jem_now();
  EXPECT_GT(end.allocated, start.allocated);
  EXPECT_EQ(end.allocated - start.allocated, end.freed - start.freed);
  EXPECT_EQ(host_calls, 0);

  refuse = false;
  void* p = tarnheap(100);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(is_marked(p));
  rfree(p);
  set_page_map_commit(prim_commit);
}
}  // namespace
