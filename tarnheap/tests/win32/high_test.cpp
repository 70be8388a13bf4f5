// Windows host tests in a large-address-aware process: blocks above 2 GiB, both the
// host's and jemalloc's, and the hand-over to je_free.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "../host.h"
#include "standin.h"

namespace {
const uintptr_t two_gib = 0x80000000u;

class High : public bound_host {
 protected:
  void TearDown() override { set_top_down(false); }
};

TEST_F(High, ForeignBlocksAbove2GiBStayWithTheHost) {
  void* high =
      VirtualAlloc(nullptr, 65536, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE);
  ASSERT_NE(high, nullptr);
  ASSERT_GE(uintptr_t(high), two_gib) << "the host is not large-address-aware";
  host_record_only = true;
  jem_counts start = jem_now();
  for (uintptr_t offset : {0, 0x10, 0x1000, 0xffff}) {
    void* p = static_cast<char*>(high) + offset;
    EXPECT_EQ(rrealloc(p, 64), host_sentinel);
    EXPECT_EQ(host_block, p);
    rfree(p);
  }
  EXPECT_EQ(host_calls, 4);
  EXPECT_EQ(jem_now().freed, start.freed);
  VirtualFree(high, 0, MEM_RELEASE);
}

TEST_F(High, JemallocBlocksAbove2GiBStayWithJemalloc) {
  set_top_down(true);
  jem_counts start = jem_now();
  void* p = tarnheap(100);
  ASSERT_NE(p, nullptr);
  ASSERT_GE(uintptr_t(p), two_gib);
  p = rrealloc(p, 5000);
  ASSERT_GE(uintptr_t(p), two_gib);
  EXPECT_EQ(jem_now().allocated, start.allocated + 2);
  EXPECT_EQ(host_calls, 0);

  // The same page 2 GiB lower is a different page: a map that dropped the top bit
  // would route it to jemalloc.
  host_record_only = true;
  void* low = reinterpret_cast<void*>(uintptr_t(p) - two_gib);
  EXPECT_EQ(rrealloc(low, 8), host_sentinel);
  rfree(low);
  EXPECT_EQ(host_calls, 1);

  rfree(p);
  EXPECT_EQ(jem_now().freed, start.freed + 2);
}

TEST_F(High, HandOverToJemallocIsATailCall) {
  void* p = tarnheap(16);
  ASSERT_NE(p, nullptr);
  rfree(p);
  EXPECT_FALSE(in_router(last_free_caller()));
}
}  // namespace
