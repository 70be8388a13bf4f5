// The shared library as a host sees it, on both platforms. Each suite runs in a process
// of its own, since binding and the map are process-wide.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "host.h"

namespace {
// NOLINTNEXTLINE(performance-no-int-to-ptr): these tests name raw addresses.
void* at(uintptr_t address) { return reinterpret_cast<void*>(address); }

using Routes = bound_host;

// Runs with jemalloc, but alone: nothing before it may have had a null from jemalloc.
using NullPointer = Routes;

// Runs where jemalloc cannot be loaded.
class Unavailable : public testing::Test {
 protected:
  static void SetUpTestSuite() { init(counting_realloc); }
  void SetUp() override {
    ASSERT_FALSE(jem_loaded());
    host_calls = 0;
  }
};

TEST_F(Routes, JemallocBlocksStayWithJemalloc) {
  jem_counts start = jem_now();
  void* small = tarnheap(100);
  void* zeroed = rcalloc(4, 25);
  ASSERT_NE(small, nullptr);
  ASSERT_NE(zeroed, nullptr);
  jem_counts allocated = jem_now();
  EXPECT_GT(allocated.allocated, start.allocated);

  // Each reallocation's result is marked in turn, across the sizes where jemalloc moves
  // blocks between its size classes and onto pages of their own.
  for (size_t size : {400, 65536, 1 << 20, 100}) {
    jem_counts before = jem_now();
    small = rrealloc(small, size);
    zeroed = rrealloc(zeroed, size);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_GT(jem_now().allocated, before.allocated) << size;
  }
  jem_counts before_free = jem_now();
  rfree(small);
  rfree(zeroed);
  EXPECT_GT(jem_now().freed, before_free.freed);
  EXPECT_EQ(host_calls, 0);
}

TEST_F(Routes, ForeignBlocksStayWithTheHost) {
  jem_counts start = jem_now();
  void* block = malloc(100);
  ASSERT_NE(block, nullptr);
  for (size_t size : {200, 300}) {
    void* given = block;
    block = rrealloc(block, size);
    EXPECT_EQ(host_block, given);
    EXPECT_EQ(host_size, size);
    ASSERT_NE(block, nullptr);
  }
  EXPECT_EQ(host_calls, 2);
  rfree(block);
  EXPECT_EQ(host_calls, 2);
  jem_counts end = jem_now();
  EXPECT_EQ(end.allocated, start.allocated);
  EXPECT_EQ(end.freed, start.freed);
  memset(block, 1, 300);  // still the host's and still valid
  free(block);
}

TEST_F(Routes, FarAndOddPointersAreForeign) {
  std::vector<uintptr_t> values = {0x1001,     0x7fffffff, 0x80000000,
                                   0x80000001, 0xfffff001, UINTPTR_MAX};
  if (sizeof(void*) == 8) {
    const uint64_t wide[] = {0x7ffffffff001, 0x800000000000, 0x800000001000, 0xffff800000000000,
                             0xffffffffff600000};
    values.insert(values.end(), std::begin(wide), std::end(wide));
  }
  host_record_only = true;
  jem_counts start = jem_now();
  for (uintptr_t value : values) {
    EXPECT_EQ(rrealloc(at(value), 8), host_sentinel) << std::hex << value;
    EXPECT_EQ(host_block, at(value));
    EXPECT_EQ(host_size, 8u);
    rfree(at(value));
  }
  EXPECT_EQ(host_calls, long(values.size()));
  EXPECT_EQ(jem_now().freed, start.freed);
}

TEST_F(Routes, RcallocZeroFills) {
  // Dirty blocks first, so that their memory is likely handed out again.
  for (size_t size : {256, 65536}) {
    void* dirty = tarnheap(size);
    ASSERT_NE(dirty, nullptr);
    memset(dirty, 0xab, size);
    rfree(dirty);
    void* p = rcalloc(size / 8, 8);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(all_zero(p, size)) << size;
    rfree(p);
  }
  EXPECT_EQ(host_calls, 0);
}

TEST_F(Routes, HandOverToTheHostIsATailCall) {
#ifndef __OPTIMIZE__
  GTEST_SKIP() << "tail calls need an optimised build";
#endif
  host_record_only = true;
  rrealloc(at(0x1000), 8);
  ASSERT_EQ(host_calls, 1);
  EXPECT_FALSE(in_router(host_caller));
}

TEST_F(NullPointer, GoesToJemallocOnlyOnceJemallocReturnedNull) {
  jem_counts start = jem_now();
  void* p = rrealloc(nullptr, 32);
  EXPECT_EQ(host_calls, 1);
  EXPECT_EQ(host_block, nullptr);
  EXPECT_EQ(host_size, 32u);
  free(p);
  rfree(nullptr);
  EXPECT_EQ(jem_now().allocated, start.allocated);

  EXPECT_EQ(tarnheap(SIZE_MAX), nullptr);
  EXPECT_EQ(host_calls, 1);

  // Page 0 is marked now: a null pointer is jemalloc's.
  void* q = rrealloc(nullptr, 32);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(host_calls, 1);
  EXPECT_GT(jem_now().allocated, start.allocated);
  rfree(nullptr);
  rfree(q);
  EXPECT_GT(jem_now().freed, start.freed);
}

TEST_F(Unavailable, EveryExportServesThroughTheHost) {
  void* p = tarnheap(100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(host_calls, 1);
  EXPECT_EQ(host_block, nullptr);
  EXPECT_EQ(host_size, 100u);

  // Nothing is marked: the block goes back to the host, and rfree leaves it alone.
  p = rrealloc(p, 200);
  EXPECT_EQ(host_calls, 2);
  rfree(p);
  EXPECT_EQ(host_calls, 2);
  memset(p, 1, 200);
  free(p);

  void* z = rcalloc(25, 8);  // the host fills new blocks with 0xab
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(host_size, 200u);
  EXPECT_TRUE(all_zero(z, 200));
  free(z);
  errno = 0;
  EXPECT_EQ(rcalloc(SIZE_MAX / 4 + 1, 4), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(host_calls, 3);
}

// The host allocates from a jemalloc: the process's own malloc (preloaded or linked), or
// one the host loaded before init. No block of the host's may reach the router's
// jemalloc through rfree, which would free it under the host and hand its address out
// twice. When that jemalloc is the very one init finds, init serves through the host;
// on Linux, where the library has a jemalloc of its own, init binds that one beside the
// host's, and routes.
void host_allocates_from_jemalloc(bool routed) {
  if (getenv("HOST_LOADS_JEMALLOC") != nullptr) {
    ASSERT_TRUE(jem_preload());
  }
  jem_allocator own = jem_own();
  ASSERT_NE(own.malloc, nullptr);
  init(counting_realloc);
  void* block = own.malloc(16);
  jem_counts start = jem_now();  // the router's jemalloc, when it routes
  void* mine = tarnheap(16);
  EXPECT_EQ(host_calls, routed ? 0 : 1);
  if (routed) {
    EXPECT_GT(jem_now().allocated, start.allocated);
  }
  rfree(block);
  void* next = own.malloc(16);
  void* after = own.malloc(16);
  EXPECT_NE(next, after);
  EXPECT_NE(next, block);
  host_record_only = true;
  EXPECT_EQ(rrealloc(block, 32), host_sentinel);
  host_record_only = false;
  own.free(after);
  own.free(next);
  own.free(block);
  if (routed) {
    rfree(mine);
    EXPECT_GT(jem_now().freed, start.freed);
  } else {
    free(mine);
  }
}

TEST(HostsJemalloc, ItsOwnBlocksNeverReachJemalloc) { host_allocates_from_jemalloc(false); }

TEST(HostsOtherJemalloc, BothServeSideBySide) { host_allocates_from_jemalloc(true); }

// A freed jemalloc block's page stays marked. If jemalloc then gave the block's address
// range back to the system, a host block could start in that page and be routed to
// jemalloc. So the router uses jemalloc only while it retains its ranges: then the host
// can never map memory where the block was. A jemalloc that does not retain (turned off
// in JE_MALLOC_CONF or MALLOC_CONF, or started by the host before init without it) is
// not used at all, nor is one the host started, retaining or not. 64 MiB blocks go to
// jemalloc's arena for huge blocks, which purges as soon as they are freed.
class Reuse : public bound_host {
 protected:
  static void SetUpTestSuite() {
    if (getenv("HOST_LOADS_JEMALLOC") != nullptr) {
      ASSERT_TRUE(jem_preload());
    }
    const char* options = getenv("JE_MALLOC_CONF");
    std::string before = options != nullptr ? options : "(unset)";
    init(counting_realloc);
    options = getenv("JE_MALLOC_CONF");
    EXPECT_EQ(options != nullptr ? options : "(unset)", before) << "init changed the variable";
  }

  // Whether jemalloc retains, and whether the router uses it (by default, when it does).
  static void free_and_reuse(bool retained, bool routed) {
    const size_t size = size_t(64) << 20;
    bool retain = !retained;
    EXPECT_TRUE(jem_read("opt.retain", &retain));
    EXPECT_EQ(retain, retained);
    jem_counts start = jem_now();
    void* block = tarnheap(size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(host_calls, routed ? 0 : 1);
    EXPECT_EQ(jem_now().allocated > start.allocated, routed);
    rfree(block);  // jemalloc's block is released; the host's is left alone
    if (routed) {
      // jemalloc keeps the range, so no block of the host's can start where this one did.
      void* own = claim_at(block, size);
      EXPECT_EQ(own, nullptr) << "jemalloc gave the block's range back";
      if (own != nullptr) unclaim(own, size);
      return;
    }
    // Nothing was marked: the host's block goes back to the host (recorded, not touched).
    host_record_only = true;
    jem_counts before = jem_now();
    EXPECT_EQ(rrealloc(block, 100), host_sentinel);
    rfree(block);
    EXPECT_EQ(host_calls, 2);
    EXPECT_EQ(jem_now().freed, before.freed);
    free(block);
  }
  static void free_and_reuse(bool retained) { free_and_reuse(retained, retained); }
};
using ReuseRetained = Reuse;     // jemalloc as shipped, or asked to retain by the router
using ReuseUnretained = Reuse;   // retain turned off
using ReuseHostStarted = Reuse;  // started by the host before init, retaining by default
using HostOptions = Reuse;       // the user's own options

TEST_F(ReuseRetained, JemallocServesAndKeepsTheRange) { free_and_reuse(true); }

TEST_F(ReuseUnretained, TheHostServesEverything) { free_and_reuse(false); }

// 64-bit Windows builds of jemalloc retain by default; one the host started is the
// host's all the same.
TEST_F(ReuseHostStarted, TheHostServesEverything) { free_and_reuse(true, false); }

// Run with JE_MALLOC_CONF=narenas:3.
TEST_F(HostOptions, AreKeptAndRetainIsAdded) {
  unsigned arenas = 0;
  EXPECT_TRUE(jem_read("opt.narenas", &arenas));
  EXPECT_EQ(arenas, 3u);
  free_and_reuse(true);
}

TEST(BeforeInit, AllocationsFailAndNothingIsTouched) {
  void* own = malloc(16);
  memset(own, 7, 16);
  EXPECT_EQ(tarnheap(16), nullptr);
  EXPECT_EQ(rcalloc(1, 16), nullptr);
  EXPECT_EQ(rrealloc(nullptr, 16), nullptr);
  EXPECT_EQ(rrealloc(own, 32), nullptr);
  rfree(own);
  rfree(nullptr);
  unsigned char expected[16];
  memset(expected, 7, 16);
  EXPECT_EQ(memcmp(own, expected, 16), 0);
  free(own);
  EXPECT_EQ(host_calls, 0);

  init(counting_realloc);
  void* p = tarnheap(16);
  EXPECT_NE(p, nullptr);
  rfree(p);
  EXPECT_EQ(host_calls, 0);
}
}  // namespace
