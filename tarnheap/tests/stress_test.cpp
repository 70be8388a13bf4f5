// A bounded stress run: four threads doing random mixes of every export on blocks of
// both owners, with the real jemalloc. Each thread keeps its live blocks with their
// owner and checks that content survives every reallocation, that exactly the foreign
// reallocations reach the host, and that jemalloc gets back every byte it handed out.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "host.h"

#if defined(__SANITIZE_THREAD__)
#define UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_TSAN 1
#endif
#endif

namespace {
#ifdef UNDER_TSAN
// jemalloc is not instrumented: a block it passes between threads would look like a
// race, so under ThreadSanitizer only foreign blocks are written, and fewer steps run.
constexpr bool touch_jemalloc_blocks = false;
constexpr int steps = 200000;
#else
constexpr bool touch_jemalloc_blocks = true;
constexpr int steps = 1000000;
#endif

struct block {
  unsigned char* p;
  size_t size;
  bool foreign;
  unsigned char tag;
};

bool touches(const block& b) { return b.foreign || touch_jemalloc_blocks; }

// The first and last bytes (up to 16 of each) carry the block's tag.
void stamp(const block& b) {
  if (!touches(b) || b.size == 0) return;
  size_t n = b.size < 16 ? b.size : 16;
  memset(b.p, b.tag, n);
  memset(b.p + b.size - n, b.tag, n);
}

bool intact(const block& b, size_t kept) {
  if (!touches(b) || kept == 0) return true;
  size_t n = kept < 16 ? kept : 16;
  for (size_t i = 0; i < n; ++i) {
    if (b.p[i] != b.tag) return false;
  }
  return true;
}

struct tally {
  jem_counts start, end;
  long host_calls = 0, foreign_reallocs = 0;
  bool failed = false;
};

void stress(unsigned seed, tally* t) {
  std::mt19937 random(seed);
  std::vector<block> live;
  t->start = jem_now();
  host_calls = 0;
  auto size_of = [&] {
    unsigned r = random() % 100;
    return r < 80 ? 1 + random() % 256 : r < 98 ? 256 + random() % 8192 : 65536 + random() % 200000;
  };
  for (int step = 0; step < steps && !t->failed; ++step) {
    unsigned op = random() % 100;
    if (live.empty() || (op < 40 && live.size() < 512)) {
      block b{nullptr, size_of(), false, static_cast<unsigned char>(random())};
      unsigned kind = random() % 3;
      if (kind == 0) {
        b.p = static_cast<unsigned char*>(tarnheap(b.size));
      } else if (kind == 1) {
        b.p = static_cast<unsigned char*>(rcalloc(1, b.size));
        if (touch_jemalloc_blocks && b.p != nullptr && !all_zero(b.p, b.size)) t->failed = true;
      } else {
        b.p = static_cast<unsigned char*>(malloc(b.size));  // the host's own block
        b.foreign = true;
      }
      if (b.p == nullptr) {
        t->failed = true;
        break;
      }
      stamp(b);
      live.push_back(b);
      continue;
    }
    size_t index = random() % live.size();
    block& b = live[index];
    if (op < 70) {
      size_t size = size_of();
      void* p = rrealloc(b.p, size);
      if (p == nullptr || !intact({static_cast<unsigned char*>(p), b.size, b.foreign, b.tag},
                                  b.size < size ? b.size : size)) {
        t->failed = true;
        break;
      }
      t->foreign_reallocs += b.foreign;
      b.p = static_cast<unsigned char*>(p);
      b.size = size;
      stamp(b);
    } else {
      if (!intact(b, b.size)) t->failed = true;
      rfree(b.p);  // does nothing to a foreign block
      if (b.foreign) free(b.p);
      b = live.back();
      live.pop_back();
    }
  }
  for (block& b : live) {
    rfree(b.p);
    if (b.foreign) free(b.p);
  }
  t->end = jem_now();
  t->host_calls = host_calls;
}

TEST(Stress, FourThreadsOfMixedOperations) {
  init(counting_realloc);
  ASSERT_TRUE(jem_loaded()) << jem_missing;
  std::vector<tally> tallies(4);
  on_threads(tallies.size(), [&](size_t i) { stress(1000 + unsigned(i), &tallies[i]); });
  for (const tally& t : tallies) {
    EXPECT_FALSE(t.failed);
    EXPECT_EQ(t.host_calls, t.foreign_reallocs);
    EXPECT_GT(t.foreign_reallocs, 0);
    EXPECT_GT(t.end.allocated, t.start.allocated);
    EXPECT_EQ(t.end.allocated - t.start.allocated, t.end.freed - t.start.freed);
  }
}
}  // namespace
