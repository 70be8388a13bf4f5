// The map on its own: which addresses share an entry, that the ends of the address space
// neither alias other pages nor reach outside the map, when a leaf is made, threads
// racing to make one, and random use against a model.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "page_map.h"
#include "threads.h"

namespace {
// NOLINTNEXTLINE(performance-no-int-to-ptr): these tests name raw addresses.
void* at(uintptr_t address) { return reinterpret_cast<void*>(address); }

const uintptr_t last_page = (PAGE_COUNT - 1) << PAGE_SHIFT;
const uintptr_t region = uintptr_t(LEAF_BYTES) << PAGE_SHIFT;  // 1 GiB; 0 on 32-bit, one leaf

// Each suite runs in a process of its own and puts a fresh map in use; until then every
// pointer is foreign and marks go nowhere.
class PageMap : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(page_map_limit, 0u);
    ASSERT_TRUE(mark_page(at(0x10000000)));
    ASSERT_FALSE(is_marked(at(0x10000000)));
    std::atomic<uintptr_t>* top = page_map_reserve();
    ASSERT_NE(top, nullptr);
    ASSERT_EQ(page_map_reserve(), top);
    page_map_enable(top);
  }
};

TEST_F(PageMap, MarksOnlyThePageOfTheBlockStart) {
  const uintptr_t block = 0x10000010;  // a 64 KiB block starting inside a page
  EXPECT_FALSE(is_marked(at(block)));
  mark_page(at(block));
  EXPECT_TRUE(is_marked(at(0x10000000)));
  EXPECT_TRUE(is_marked(at(0x10000fff)));
  EXPECT_FALSE(is_marked(at(0x0fffffff)));
  for (uintptr_t page = 1; page < 16; ++page) {
    EXPECT_FALSE(is_marked(at(0x10000000 + (page << PAGE_SHIFT))));
  }
  EXPECT_TRUE(mark_page(at(0x10000800)));  // a second block in the same page
  EXPECT_TRUE(is_marked(at(0x10000000)));
}

// The edges: the upper half of a 32-bit space, which a signed index misses; on 64-bit
// targets 4 GiB, the last page below 2^47 (x86-64's user space ends there), 2^47 and the
// map's last page (arm64's 48 bits).
TEST_F(PageMap, CoversTheWholeUserAddressSpace) {
  std::vector<uintptr_t> edges = {uintptr_t(0x80000000u), uintptr_t(0xfffff000u), last_page};
  if (!FLAT) {
    for (uint64_t edge : {uint64_t(1) << 32, (uint64_t(1) << 47) - 0x1000, uint64_t(1) << 47})
      edges.push_back(uintptr_t(edge));
  }
  for (uintptr_t address : edges) EXPECT_TRUE(mark_page(at(address + 0x123)));
  std::set<uintptr_t> marked(edges.begin(), edges.end());
  for (uintptr_t address : edges) {
    EXPECT_TRUE(is_marked(at(address))) << std::hex << address;
    for (uintptr_t beside : {address - 0x1000, address + 0x1000}) {
      EXPECT_EQ(is_marked(at(beside)), marked.count(beside) != 0) << std::hex << beside;
    }
  }
  EXPECT_TRUE(is_marked(at(last_page + 0xfff)));
  EXPECT_FALSE(is_marked(at(0x00000000)));
  EXPECT_FALSE(is_marked(at(0x7ffff000)));
}

TEST_F(PageMap, AddressesBeyondItAreForeignAndAliasNothing) {
  // 2^48 and above: non-canonical and kernel addresses, or a kernel with 5-level paging.
  // Their low bits name pages that must stay unmarked; none can be marked, and marking
  // them writes nowhere.
  if (FLAT) GTEST_SKIP() << "a 32-bit map covers every address";
  const uint64_t beyond[] = {uint64_t(PAGE_COUNT) << PAGE_SHIFT, 0x1000000005000,
                             0xffff800000006000, 0xfffffffffffff000, UINT64_MAX};
  for (uint64_t address : beyond) {
    EXPECT_FALSE(mark_page(at(uintptr_t(address)))) << std::hex << address;
    EXPECT_FALSE(is_marked(at(uintptr_t(address)))) << std::hex << address;
  }
  // Their pages modulo 2^48, 2^47 and 2^32 (2^47 itself is marked above).
  for (uintptr_t page = 1; page < 8; ++page) {
    for (uint64_t high : {uint64_t(0), uint64_t(1) << 47}) {
      EXPECT_FALSE(is_marked(at(uintptr_t(high + (page << PAGE_SHIFT)))));
    }
  }
}

// Lookups make no leaf and a region's first mark makes one, once; a leaf that cannot be
// had marks nothing and is tried again by the next mark.
int commits;
bool refuse_commits;
bool counting_commit(void* at, size_t bytes) {
  ++commits;
  return !refuse_commits && prim_commit(at, bytes);
}

TEST_F(PageMap, MakesALeafAtARegionsFirstMark) {
  if (FLAT) GTEST_SKIP() << "this map is one leaf, made with it";
  set_page_map_commit(counting_commit);
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    EXPECT_FALSE(is_marked(at(uintptr_t(random()) & ((uintptr_t(PAGE_COUNT) << PAGE_SHIFT) - 1))));
  }
  EXPECT_EQ(commits, 0);

  const uintptr_t base = uintptr_t(0x300000000000);
  refuse_commits = true;
  EXPECT_FALSE(mark_page(at(base)));
  EXPECT_FALSE(is_marked(at(base)));
  refuse_commits = false;
  EXPECT_TRUE(mark_page(at(base + region - 1)));  // the region's last page
  EXPECT_TRUE(mark_page(at(base)));
  EXPECT_EQ(commits, 2);
  EXPECT_TRUE(is_marked(at(base)));
  EXPECT_TRUE(is_marked(at(base + region - 0x1000)));
  EXPECT_FALSE(is_marked(at(base + 0x1000)));
  EXPECT_FALSE(is_marked(at(base + region)));  // the next region, still without a leaf
  EXPECT_FALSE(is_marked(at(base - 1)));
  EXPECT_TRUE(mark_page(at(base + region)));
  EXPECT_EQ(commits, 3);
  set_page_map_commit(prim_commit);
}

// Threads marking and looking up the same pages at once, as threads allocating from one
// region do, each round in a region without a leaf. Each thread's commit of its leaf
// waits (up to a second) until every thread has one, so that they race to install them:
// one leaf must hold every thread's marks. Run under ThreadSanitizer too, where a plain
// byte access would be a race.
const int racers = 4;
std::atomic<int> committing;
bool gathering_commit(void* at, size_t bytes) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  committing.fetch_add(1);
  while (committing.load() < racers && std::chrono::steady_clock::now() < until) {
    std::this_thread::yield();
  }
  return prim_commit(at, bytes);
}

TEST_F(PageMap, ConcurrentMarksAndLookups) {
  const uintptr_t pages = 512;
  set_page_map_commit(gathering_commit);
  for (uintptr_t round = 0; round < 8; ++round) {
    const uintptr_t base = FLAT ? 0x20000000 + round * 0x10000000 : 0x200000000000 + round * region;
    committing = 0;
    on_threads(racers, [&](uintptr_t t) {
      for (uintptr_t i = 0; i < pages; ++i) {  // its own pages, the others' looked up
        uintptr_t page = (i * 7) % pages;
        if (page % racers != t) continue;
        EXPECT_TRUE(mark_page(at(base + (page << PAGE_SHIFT) + t * 8)));
        (void)is_marked(at(base + (((page + 1) % pages) << PAGE_SHIFT)));
      }
    });
    for (uintptr_t page = 0; page < pages; ++page) {
      ASSERT_TRUE(is_marked(at(base + (page << PAGE_SHIFT)))) << round << " " << page;
    }
    EXPECT_FALSE(is_marked(at(base + (pages << PAGE_SHIFT))));
  }
  set_page_map_commit(prim_commit);
}

// Random marks and lookups against a plain model, a set of page numbers. Addresses come
// from the whole pointer range: both ends, around 0x80000000, around the end of the
// map and far beyond it, and around pages already marked. They cluster in a few
// hundred regions so that the map stays small in memory.
using PageMapModel = PageMap;

TEST_F(PageMapModel, AgreesWithASetOfPages) {
  std::mt19937_64 random(42);
  std::vector<uintptr_t> centres = {0,
                                    uintptr_t(0x7fffffffu),
                                    uintptr_t(0x80000000u),
                                    uintptr_t(0xfffff000u),
                                    last_page,
                                    uintptr_t(PAGE_COUNT) << PAGE_SHIFT,
                                    UINTPTR_MAX};
  if (!FLAT) {
    for (uint64_t far : {0x0000800000000000ull, 0x0001000000000000ull, 0xffff800000000000ull,
                         0x00007f0000000000ull, 0x0000000100000000ull})
      centres.push_back(uintptr_t(far));
  }
  while (centres.size() < 200) centres.push_back(uintptr_t(random()));

  std::set<uintptr_t> model;
  std::vector<uintptr_t> marked;
  auto draw = [&]() -> uintptr_t {
    uintptr_t centre = (!marked.empty() && random() % 4 == 0) ? marked[random() % marked.size()]
                                                              : centres[random() % centres.size()];
    // Up to 64 pages either side, wrapping at both ends of the pointer range.
    uintptr_t delta = uintptr_t(random() % (129 << PAGE_SHIFT)) - (uintptr_t(64) << PAGE_SHIFT);
    return centre + delta;
  };
  for (int step = 0; step < 200000; ++step) {
    uintptr_t address = draw();
    uintptr_t page = address >> PAGE_SHIFT;
    if (random() % 3 == 0) {
      mark_page(at(address));
      if (page < PAGE_COUNT) {
        model.insert(page);
        marked.push_back(address);
      }
    } else {
      ASSERT_EQ(is_marked(at(address)), model.count(page) != 0)
          << "step " << step << " address 0x" << std::hex << address;
    }
  }
  // Every page the model holds is marked; the top address is marked only where the map
  // reaches it (a 32-bit map covers every address).
  for (uintptr_t page : model) ASSERT_TRUE(is_marked(at(page << PAGE_SHIFT)));
  EXPECT_EQ(is_marked(at(UINTPTR_MAX)), model.count(UINTPTR_MAX >> PAGE_SHIFT) != 0);
}
}  // namespace
