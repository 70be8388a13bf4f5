// The map on its own: which addresses share an entry, that the ends of the address space
// neither alias other pages nor reach outside the map, when a chunked map commits, and
// random use against a model.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "page_map.h"
#include "threads.h"

namespace {
// NOLINTNEXTLINE(performance-no-int-to-ptr): these tests name raw addresses.
void* at(uintptr_t address) { return reinterpret_cast<void*>(address); }

const uintptr_t last_page = (PAGE_COUNT - 1) << PAGE_SHIFT;

// Each suite runs in a process of its own and puts a fresh map in use; until then every
// pointer is foreign and marks go nowhere.
class PageMap : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(page_map.limit, 0u);
    mark_committing(at(0x10000000));
    ASSERT_FALSE(is_marked(at(0x10000000)));
    std::atomic<unsigned char>* entries = page_map_reserve();
    ASSERT_NE(entries, nullptr);
    ASSERT_EQ(page_map_reserve(), entries);
    page_map_enable(entries);
  }
};

TEST_F(PageMap, MarksOnlyThePageOfTheBlockStart) {
  const uintptr_t block = 0x10000010;  // a 64 KiB block starting inside a page
  EXPECT_FALSE(is_marked(at(block)));
  mark_committing(at(block));
  EXPECT_TRUE(is_marked(at(0x10000000)));
  EXPECT_TRUE(is_marked(at(0x10000fff)));
  EXPECT_FALSE(is_marked(at(0x0fffffff)));
  for (uintptr_t page = 1; page < 16; ++page) {
    EXPECT_FALSE(is_marked(at(0x10000000 + (page << PAGE_SHIFT))));
  }
  mark_committing(at(0x10000800));  // a second block in the same page
  EXPECT_EQ(page_map.entries[0x10000].load(), 1);
}

TEST_F(PageMap, CoversTheWholeUserAddressSpace) {
  // The last page, and the upper half of a 32-bit space, which a signed index misses.
  for (uintptr_t address : {uintptr_t(0x80000000u), uintptr_t(0xfffff000u), last_page}) {
    mark_committing(at(address + 0x123));
    EXPECT_TRUE(is_marked(at(address))) << std::hex << address;
    EXPECT_FALSE(is_marked(at(address - 0x1000))) << std::hex << address;
  }
  EXPECT_TRUE(is_marked(at(last_page + 0xfff)));
  EXPECT_FALSE(is_marked(at(0x00000000)));
  EXPECT_FALSE(is_marked(at(0x7ffff000)));
}

TEST_F(PageMap, AddressesBeyondItAreForeignAndAliasNothing) {
  // On x86-64: non-canonical and kernel addresses. Their low bits name pages that must
  // stay unmarked, and marking them must not write anywhere.
  if (sizeof(void*) == 4) GTEST_SKIP() << "a 32-bit map covers every address";
  const uint64_t beyond[] = {uint64_t(PAGE_COUNT) << PAGE_SHIFT, 0x800000005000, 0xffff800000006000,
                             0xfffffffffffff000, UINT64_MAX};
  for (uint64_t address : beyond) {
    mark_committing(at(uintptr_t(address)));
    EXPECT_FALSE(is_marked(at(uintptr_t(address)))) << std::hex << address;
  }
  // Their pages modulo 2^47 and 2^32.
  for (uintptr_t page = 0; page < 8; ++page) EXPECT_FALSE(is_marked(at(page << PAGE_SHIFT)));
}
// In a chunked map (64-bit Windows) lookups commit nothing and never touch an
// uncommitted chunk; the first mark in a chunk commits it, once; a refused commit marks
// nothing and is tried again by the next mark.
int commits;
bool refuse_commits;
bool counting_commit(void* at, size_t bytes) {
  ++commits;
  return !refuse_commits && prim_commit(at, bytes);
}

TEST_F(PageMap, CommitsAChunkAtItsFirstMark) {
  if (!CHUNKED) GTEST_SKIP() << "this map is committed whole, or backed as touched";
  set_page_map_commit(counting_commit);
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    EXPECT_FALSE(is_marked(at(uintptr_t(random()) & ((uintptr_t(PAGE_COUNT) << PAGE_SHIFT) - 1))));
  }
  EXPECT_EQ(commits, 0);

  const uintptr_t chunk = uintptr_t(1) << (PAGE_SHIFT + CHUNK_SHIFT);  // 256 MiB of space
  const uintptr_t base = uintptr_t(0x300000000000);
  refuse_commits = true;
  EXPECT_FALSE(mark_committing(at(base)));
  EXPECT_FALSE(is_marked(at(base)));
  refuse_commits = false;
  EXPECT_TRUE(mark_committing(at(base + chunk - 1)));  // the chunk's last page
  EXPECT_TRUE(mark_committing(at(base)));
  EXPECT_EQ(commits, 2);
  EXPECT_TRUE(is_marked(at(base)));
  EXPECT_TRUE(is_marked(at(base + chunk - 0x1000)));
  EXPECT_FALSE(is_marked(at(base + 0x1000)));
  EXPECT_FALSE(is_marked(at(base + chunk)));  // the next chunk, still uncommitted
  EXPECT_FALSE(is_marked(at(base - 1)));
  EXPECT_TRUE(mark_committing(at(base + chunk)));
  EXPECT_EQ(commits, 3);
  set_page_map_commit(prim_commit);
}

// Threads marking and looking up the same pages at once, as threads allocating from one
// region do. Run under ThreadSanitizer too, where a plain byte access would be a race.
TEST_F(PageMap, ConcurrentMarksAndLookups) {
  const uintptr_t base = 0x20000000;
  const uintptr_t pages = 4096;
  on_threads(4, [=](uintptr_t t) {
    for (uintptr_t i = 0; i < pages; ++i) {
      uintptr_t page = (i * 7 + t * 1031) % pages;
      mark_committing(at(base + (page << PAGE_SHIFT) + t * 8));
      (void)is_marked(at(base + (((page + 1) % pages) << PAGE_SHIFT)));
    }
  });
  for (uintptr_t page = 0; page < pages; ++page) {
    ASSERT_TRUE(is_marked(at(base + (page << PAGE_SHIFT))));
  }
  EXPECT_FALSE(is_marked(at(base + (pages << PAGE_SHIFT))));
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
  if (sizeof(void*) == 8) {
    for (uint64_t far : {0x0000800000000000ull, 0xffff800000000000ull, 0x00007f0000000000ull})
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
      mark_committing(at(address));
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
