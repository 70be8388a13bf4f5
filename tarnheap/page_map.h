// The page ownership map: one byte per 4096-byte page of the user address space, set to 1
// once a block that jemalloc returned starts in that page. A null result marks page 0,
// after which a null pointer is jemalloc's too. Entries never go back to 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "prim/prim.h"

constexpr int PAGE_SHIFT = 12;

// The whole user address space: 4 GiB on 32-bit targets (large-address-aware hosts),
// the 47-bit lower half on x86-64; anything above is foreign. A guessed width for other
// 64-bit targets would misroute.
#if UINTPTR_MAX == 0xffffffffu
constexpr int ADDRESS_BITS = 32;
#elif defined(__x86_64__) || defined(_M_X64)
constexpr int ADDRESS_BITS = 47;
#else
#error "the page map knows the user address space of 32-bit targets and x86-64 only"
#endif
constexpr uintptr_t PAGE_COUNT = uintptr_t(1) << (ADDRESS_BITS - PAGE_SHIFT);

// Without overcommit a 64-bit map (32 GiB) is only reserved, and committed in 64 KiB
// chunks as marks reach them. One byte per chunk, just below the map, says whether the
// chunk is committed: a lookup reads it first and never touches an uncommitted chunk.
// A 32-bit map (1 MiB) is committed whole, and with overcommit nothing is committed.
constexpr bool CHUNKED = !PRIM_OVERCOMMITS && ADDRESS_BITS > 32;
constexpr int CHUNK_SHIFT = 16;  // entries per chunk: 64 KiB of map for 256 MiB of space
constexpr uintptr_t CHUNK_COUNT = CHUNKED ? PAGE_COUNT >> CHUNK_SHIFT : 0;

// The map in use, read by every call. Until the first binding limit is 0, so the one
// range compare of a lookup also makes every pointer foreign and every mark a no-op.
struct page_map_view {
  std::atomic<unsigned char>* entries;
  uintptr_t limit;
};
extern page_map_view page_map;

// Reserves the map's memory on the first call (PAGE_COUNT zero bytes, backed only where
// touched, and below them the chunk flags, committed) and returns it, the same block on
// every later call; null when refused.
std::atomic<unsigned char>* page_map_reserve();

// Puts a reserved map in use.
inline void page_map_enable(std::atomic<unsigned char>* entries) {
  page_map.entries = entries;
  page_map.limit = PAGE_COUNT;
}

// Commits the map's chunk that holds the entry of p's page and sets its flag, set after
// the commit so that a lookup that reads it set finds the chunk backed; false when the
// system refuses, and then the flag stays clear. Only in a chunked map.
bool page_map_commit(const void* p);

// Replaces the routine that commits chunks (prim_commit), so tests can make it fail.
void set_page_map_commit(bool (*routine)(void* at, size_t bytes));

// Whether the entry at index may be read: its chunk's flag, in a chunked map.
inline bool readable(std::atomic<unsigned char>* entries, uintptr_t index) {
  return !CHUNKED || entries[ptrdiff_t(index >> CHUNK_SHIFT) - ptrdiff_t(CHUNK_COUNT)].load(
                         std::memory_order_acquire) != 0;
}

// Relaxed byte accesses: an entry only ever becomes 1. The store is skipped when it is
// set already, so threads allocating in one region do not keep writing one cache line.
// False only when the entry's chunk is not committed yet: nothing is marked then, and
// the caller commits it (page_map_commit) off the fast path.
inline bool mark_page(const void* p) {
  uintptr_t index = reinterpret_cast<uintptr_t>(p) >> PAGE_SHIFT;
  if (__builtin_expect(index < page_map.limit, 1)) {
    std::atomic<unsigned char>* entries = page_map.entries;
    if (!readable(entries, index)) return false;
    std::atomic<unsigned char>& entry = entries[index];
    if (entry.load(std::memory_order_relaxed) == 0) entry.store(1, std::memory_order_relaxed);
  }
  return true;
}

// mark_page, committing the entry's chunk first where that is still needed, as the
// router does off its fast path; false when the chunk cannot be committed.
inline bool mark_committing(const void* p) {
  return mark_page(p) || (page_map_commit(p) && mark_page(p));
}

inline bool is_marked(const void* p) {
  uintptr_t index = reinterpret_cast<uintptr_t>(p) >> PAGE_SHIFT;
  if (!__builtin_expect(index < page_map.limit, 1)) return false;
  std::atomic<unsigned char>* entries = page_map.entries;
  return readable(entries, index) && entries[index].load(std::memory_order_relaxed) != 0;
}
