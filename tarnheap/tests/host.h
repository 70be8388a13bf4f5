// What the host tests share: a counting host routine, and a view of which calls reached
// jemalloc (jemalloc's own per-thread counters on Linux, the stand-in's on Windows).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tarnheap.h"

// jemalloc's control entry (mallctl) when jemalloc is loaded in this process, else null.
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

// Loads jemalloc before init, as a host that uses it itself would; false when it cannot.
bool jem_preload();

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
