// A host that unloads the library and loads it again, through tarnheap_load: blocks
// from the first load still go back to jemalloc, since the map outlives the unload.
#include <gtest/gtest.h>

#include "host.h"
#include "tarnheap_load.h"

namespace {
TEST(Reload, MarksOutliveAnUnload) {
  tarnheap_api first;
  ASSERT_EQ(tarnheap_load(&first, TARNHEAP_LIBRARY), 0);
  first.init(counting_realloc);
  void* p = first.tarnheap(100);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(host_calls, 0) << jem_missing;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(first.module));
#else
  dlclose(first.module);
#endif

  tarnheap_api second;
  ASSERT_EQ(tarnheap_load(&second, TARNHEAP_LIBRARY), 0);
  second.init(counting_realloc);
  host_record_only = true;  // a block of jemalloc's must not reach the C library
  p = second.rrealloc(p, 200);
  EXPECT_EQ(host_calls, 0);
  ASSERT_NE(p, host_sentinel);
  second.rfree(p);
  EXPECT_EQ(host_calls, 0);
}
}  // namespace
