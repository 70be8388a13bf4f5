// The page ownership map: one byte per 4096-byte page of the user address space, set to 1
// once a block that jemalloc returned starts in that page. Entries never go back to 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int PAGE_SHIFT = 12;

// The whole user address space: 4 GiB on a 32-bit target (large-address-aware hosts
// get blocks above 2 GiB), the 47-bit lower half on x86-64. Any pointer at or above
// the end is foreign: kernel and non-canonical values are never marked.
#if UINTPTR_MAX == 0xffffffffu
constexpr int ADDRESS_BITS = 32;
#else
constexpr int ADDRESS_BITS = 47;
#endif
constexpr uintptr_t PAGE_COUNT = uintptr_t(1) << (ADDRESS_BITS - PAGE_SHIFT);

// Null while jemalloc is unbound: then nothing is marked and every pointer is foreign.
// Set once the first binding succeeds, and kept for the life of the process.
extern std::atomic<unsigned char>* page_map;

// Reserves the map's memory on the first call (PAGE_COUNT zero bytes, backed only where
// touched) and returns it, the same block on every later call; null when refused.
std::atomic<unsigned char>* page_map_reserve();

// Relaxed single-byte accesses: an entry is only ever set to 1, so no ordering is needed,
// and the store is skipped when the entry is already set, so threads allocating in the
// same region do not keep writing the same cache line.
inline void mark_page(const void* p) {
  uintptr_t index = reinterpret_cast<uintptr_t>(p) >> PAGE_SHIFT;
  std::atomic<unsigned char>* map = page_map;
  if (map == nullptr || index >= PAGE_COUNT) return;
  if (map[index].load(std::memory_order_relaxed) == 0) {
    map[index].store(1, std::memory_order_relaxed);
  }
}

inline bool is_marked(const void* p) {
  uintptr_t index = reinterpret_cast<uintptr_t>(p) >> PAGE_SHIFT;
  std::atomic<unsigned char>* map = page_map;
  return map != nullptr && index < PAGE_COUNT && map[index].load(std::memory_order_relaxed) != 0;
}
