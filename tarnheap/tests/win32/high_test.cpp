// Windows host tests in a large-address-aware process: blocks above 2 GiB, both the
// host's and jemalloc's; on 64-bit Windows jemalloc's blocks across the 47-bit space and
// just above 4 GiB; and the hand-over to je_free.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>

#include "../host.h"
#include "standin.h"

namespace {
const uintptr_t two_gib = 0x80000000u;

class High : public bound_host {
 protected:
  void TearDown() override {
    set_top_down(false);
    set_place(0, 0);
  }
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

// Each block lands in a region of the map that nothing marked before, so its leaf is
// made: at the first free range from its place on, below the next place, as places
// ascend (Wine's own mappings, which move from run to run, can fill gigabytes near the
// top). Its page with the top bits dropped (as a 32-bit map would), 4 GiB either side,
// or past the 47 bits is the host's; so are the pages beside it, in its region and the
// next.
TEST_F(High, JemallocBlocksAcrossThe47BitSpace) {
  if (sizeof(void*) == 4) GTEST_SKIP() << "a 32-bit space is covered by the cases above";
  const uint64_t four_gib = uint64_t(1) << 32;
  const uint64_t places[] = {four_gib,           four_gib + 0x40000000, uint64_t(1) << 36,
                             uint64_t(1) << 44,  0x0000123456780000,    uint64_t(1) << 46,
                             0x00005a5a5a5a0000, 0x00007ff000000000,    uint64_t(1) << 47};
  for (size_t i = 0; i + 1 < std::size(places); ++i) {
    const uint64_t place = places[i];
    SCOPED_TRACE(testing::Message() << std::hex << place);
    set_place(uintptr_t(place), 1);
    jem_counts start = jem_now();
    void* p = tarnheap(64);
    ASSERT_NE(p, nullptr);
    ASSERT_GE(uintptr_t(p), place);
    ASSERT_LT(uintptr_t(p), places[i + 1]);
    EXPECT_EQ(jem_now().allocated, start.allocated + 1);

    host_record_only = true;
    host_calls = 0;
    const uint64_t page = uintptr_t(p) & ~uint64_t(0xfff);
    const uint64_t others[] = {page & 0xffffffff,          page - four_gib,  page + four_gib,
                               page | (uint64_t(1) << 47), page + 0x1000,    page - 0x1000,
                               page + 0x10000000,          page + 0x40000000};
    for (uint64_t other : others) {
      void* o = reinterpret_cast<void*>(uintptr_t(other));
      EXPECT_EQ(rrealloc(o, 8), host_sentinel) << std::hex << other;
      rfree(o);
    }
    EXPECT_EQ(host_calls, long(std::size(others)));
    EXPECT_EQ(jem_now().freed, start.freed);
    host_record_only = false;

    p = rrealloc(p, 100);  // to the stand-in's heap, and marked there
    ASSERT_NE(p, nullptr);
    rfree(p);
    EXPECT_EQ(jem_now().freed, start.freed + 2);
    EXPECT_EQ(host_calls, long(std::size(others)));
  }
}

TEST_F(High, HandOverToJemallocIsATailCall) {
  void* p = tarnheap(16);
  ASSERT_NE(p, nullptr);
  rfree(p);
  EXPECT_FALSE(in_router(last_free_caller()));
}
}  // namespace
