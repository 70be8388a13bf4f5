// Linux host tests against the library's own jemalloc: several threads routing at once (also run
// under ThreadSanitizer). Block memory is never touched here: jemalloc is not
// instrumented, so a block it moves between threads would look like a race.
#include <gtest/gtest.h>

#include <vector>

#include "host.h"

namespace {
struct thread_result {
  jem_counts start, end;
  long host_calls;
};

// Each thread routes its own jemalloc blocks (new pages get marked while the others
// read) and foreign blocks; every jemalloc byte it allocates must come back to
// jemalloc, and exactly its foreign calls must reach the host.
void route(int rounds, thread_result* result) {
  result->start = jem_now();
  for (int i = 0; i < rounds; ++i) {
    size_t size = 16 + size_t(i % 64) * 136;
    void* a = tarnheap(size);
    void* b = rcalloc(1, size);
    a = rrealloc(a, size * 3);
    b = rrealloc(b, 8192);
    rfree(a);
    rfree(b);
    void* foreign = rrealloc(malloc(32), 64);
    rfree(foreign);
    free(foreign);
  }
  result->end = jem_now();
  result->host_calls = host_calls;
}

TEST(Threads, RouteConcurrently) {
  init(counting_realloc);
  ASSERT_TRUE(jem_loaded()) << jem_missing;
  const int rounds = 20000;
  std::vector<thread_result> results(4);
  on_threads(results.size(), [&](size_t i) { route(rounds, &results[i]); });
  for (const thread_result& r : results) {
    EXPECT_GT(r.end.allocated, r.start.allocated);
    EXPECT_EQ(r.end.allocated - r.start.allocated, r.end.freed - r.start.freed);
    EXPECT_EQ(r.host_calls, rounds);
  }
}
}  // namespace
