// The page ownership map: one byte per 4096-byte page of the user address space, set to 1
// once a block that jemalloc returned starts in that page. A null result marks page 0,
// after which a null pointer is jemalloc's too. Entries never go back to 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

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

// The map in use, read by every call. Until the first binding limit is 0, so the one
// range compare of a lookup also makes every pointer foreign and every mark a no-op.
struct page_map_view {
  std::atomic<unsigned char>* entries;
  uintptr_t limit;
};
extern page_map_view page_map;

// Reserves the map's memory on the first call (PAGE_COUNT zero bytes, backed only where
// touched) and returns it, the same block on every later call; null when refused.
std::atomic<unsigned char>* page_map_reserve();

// Puts a reserved map in use.
inline void page_map_enable(std::atomic<unsigned char>* entries) {
  page_map.entries = entries;
  page_map.limit = PAGE_COUNT;
}

// Relaxed byte accesses: an entry only ever becomes 1. The store is skipped when it is
// set already, so threads allocating in one region do not keep writing one cache line.
inline void mark_page(const void* p) {
  uintptr_t index = reinterpret_cast<uintptr_t>(p) >> PAGE_SHIFT;
  if (__builtin_expect(index < page_map.limit, 1)) {
    std::atomic<unsigned char>& entry = page_map.entries[index];
    if (entry.load(std::memory_order_relaxed) == 0) entry.store(1, std::memory_order_relaxed);
  }
}

inline bool is_marked(const void* p) {
  uintptr_t index = reinterpret_cast<uintptr_t>(p) >> PAGE_SHIFT;
  return __builtin_expect(index < page_map.limit, 1) &&
         page_map.entries[index].load(std::memory_order_relaxed) != 0;
}
