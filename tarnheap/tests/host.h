// What the host tests share: a counting host routine, a view of which calls reached
// jemalloc (jemalloc's own per-thread counters on Linux, the stand-in's on Windows), and
// the fixture of a host that routes through jemalloc.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tarnheap.h"
#include "threads.h"

// The control entry (mallctl) of the jemalloc the router loads when it is loaded in this
// process, else null: on Linux tarnheap's own, else Debian's.
using mallctl_fn = int (*)(const char* name, void* old, size_t* old_size, void* value, size_t size);
mallctl_fn jem_mallctl();

inline bool jem_loaded() { return jem_mallctl() != nullptr; }

// Reads an option or statistic of the loaded jemalloc; false when it cannot.
template <typename T>
bool jem_read(const char* name, T* value) {
  size_t size = sizeof *value;
  mallctl_fn ctl = jem_mallctl();
  return ctl != nullptr && ctl(name, value, &size, nullptr, 0) == 0 && size == sizeof *value;
}

// Monotonic: allocated grows with every allocation or reallocation jemalloc serves,
// freed with every release or reallocation. In bytes and for the calling thread, except
// with the Windows stand-in, which counts calls for the whole process.
struct jem_counts {
  uint64_t allocated;
  uint64_t freed;
};
inline jem_counts jem_now() {
  jem_counts c = {0, 0};
  jem_read("thread.allocated", &c.allocated);
  jem_read("thread.deallocated", &c.freed);
  return c;
}

// Loads jemalloc before init, as a host that uses it itself would (on Linux Debian's);
// false when it cannot.
bool jem_preload();

// The malloc and free of the jemalloc a host allocates from (on Linux Debian's), as it
// calls them; null when it is not loaded.
struct jem_allocator {
  void* (*malloc)(size_t);
  void (*free)(void*);
};
jem_allocator jem_own();

// The host maps memory of its own at exactly this address; null when any of the range
// is still in use. Released with unclaim.
void* claim_at(void* address, size_t size);
void unclaim(void* block, size_t size);

// Whether a code address lies inside the tarnheap library.
bool in_router(const void* code);

// The host's routine: counts and records every call on the calling thread. It serves
// from the C library's realloc, filling new blocks with 0xab so that a missing zero fill
// shows; in record-only mode it touches nothing and returns host_sentinel.
inline thread_local long host_calls;
inline thread_local void* host_block;
inline thread_local size_t host_size;
inline thread_local const void* host_caller;
inline thread_local bool host_record_only;
// NOLINTNEXTLINE(performance-no-int-to-ptr): these tests name raw addresses.
inline void* const host_sentinel = reinterpret_cast<void*>(uintptr_t(0x5a5a0));

__attribute__((noinline)) inline void* TARNHEAP_CALL counting_realloc(void* block, size_t size) {
  ++host_calls;
  host_block = block;
  host_size = size;
  host_caller = __builtin_return_address(0);
  if (host_record_only) return host_sentinel;
  void* p = realloc(block, size);
  if (block == nullptr && p != nullptr) memset(p, 0xab, size);
  return p;
}

inline bool all_zero(const void* p, size_t size) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < size; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

// Why a suite that needs jemalloc may find it missing when run by hand.
inline const char jem_missing[] =
    "jemalloc is not bound: run this suite through ctest, which gives it its environment "
    "(on Linux the library's own jemalloc beside it, or GLIBC_TUNABLES="
    "glibc.rtld.optional_static_tls=16384 for Debian's)";

// A host that has called init once for the suite, with jemalloc bound.
class bound_host : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(init(counting_realloc), &counting_realloc); }
  void SetUp() override {
    ASSERT_TRUE(jem_loaded()) << jem_missing;
    host_calls = 0;
    host_record_only = false;
  }
};

// Binding and the map are process-wide and suites expect a fresh process each, as ctest
// runs them: a run of several suites at once is refused with a message, not left to fail
// in confusing ways.
class one_suite_per_process : public testing::Environment {
  void SetUp() override {
    if (testing::UnitTest::GetInstance()->test_suite_to_run_count() > 1) {
      GTEST_FAIL() << "each suite needs a process of its own: run one at a time with "
                      "--gtest_filter=Suite.*, or run them all through ctest";
    }
  }
};
inline testing::Environment* const one_suite_check =
    testing::AddGlobalTestEnvironment(new one_suite_per_process);
