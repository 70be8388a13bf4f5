// The page ownership map: one byte per 4096-byte page of the user address space, set to 1
// once a block that jemalloc returned starts in that page. A null result marks page 0,
// after which a null pointer is jemalloc's too. Entries never go back to 0.
//
// On 64-bit targets the map has two levels over 48 address bits (x86-64's 47-bit user
// half, arm64's 48-bit space): a top of one slot per 1 GiB region, and for each region
// a leaf of 256 KiB of entries, made at the first mark there. Until then the region's
// slot leads to one shared leaf that is never written, so a lookup reads 0 there without
// a test of its own and touches nothing but the top and that leaf. A 32-bit map is one
// flat leaf of 1 MiB for the whole 4 GiB, made when the map is.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "prim/prim.h"

constexpr int PAGE_SHIFT = 12;

#if UINTPTR_MAX == 0xffffffffu
constexpr int ADDRESS_BITS = 32;  // large-address-aware hosts reach all 4 GiB
constexpr int LEAF_BITS = 20;     // one leaf for all of it
#else
constexpr int ADDRESS_BITS = 48;  // anything above is foreign
constexpr int LEAF_BITS = 18;     // a leaf's entries: 256 KiB for 1 GiB of address space
#endif
constexpr uintptr_t PAGE_COUNT = uintptr_t(1) << (ADDRESS_BITS - PAGE_SHIFT);
constexpr uintptr_t TOP_SLOTS = PAGE_COUNT >> LEAF_BITS;  // 2^18, or 1 when flat
constexpr size_t LEAF_BYTES = size_t(1) << LEAF_BITS;
constexpr bool FLAT = TOP_SLOTS == 1;

// The map in use, read by every call: its top, one slot per region. A slot holds its
// leaf's address less the index of the region's first page, so the entry of page index i
// is at page_map[i >> LEAF_BITS] + i, with no mask. Until the first binding the limit is
// 0, so the one range compare of a lookup also makes every pointer foreign; after it, it
// is TOP_SLOTS and leaves out exactly the addresses beyond the map. A flat map keeps its
// one slot in page_map_flat, a load less. Declared hidden, so that code built into the
// library addresses them directly rather than through the global offset table, which
// takes an instruction more on every access.
#ifdef _WIN32
#define PAGE_MAP_HIDDEN
#else
#define PAGE_MAP_HIDDEN __attribute__((visibility("hidden")))
#endif
extern PAGE_MAP_HIDDEN std::atomic<uintptr_t>* page_map;
extern PAGE_MAP_HIDDEN uintptr_t page_map_limit;
extern PAGE_MAP_HIDDEN uintptr_t page_map_flat;

// Reserves the map on the first call and returns its top, the same on every later call;
// null when refused. 64-bit: the top and the shared leaf (2.25 MiB), the top written.
// 32-bit: the flat leaf, committed whole.
std::atomic<uintptr_t>* page_map_reserve();

// Puts a reserved map in use.
void page_map_enable(std::atomic<uintptr_t>* top);

// Marks p's page, making the leaf of its region first where there is none yet. True
// when the page is marked, or when no map is in use (nothing is marked then); false for
// a page beyond the map or in a region whose leaf cannot be had. Off the fast path:
// callers look up first and come here only for a page not marked yet.
bool mark_page(const void* p);

// Replaces the routine that commits leaves (prim_commit), so tests can make it fail.
void set_page_map_commit(bool (*routine)(void* at, size_t bytes));

// Whether an entry is still 0, read as one relaxed byte (an entry only ever becomes 1).
// GCC does not fold an atomic byte load into a compare; on x86-64 the entry is compared
// in place, an instruction less on every call. ThreadSanitizer must see the load itself.
#if defined(__SANITIZE_THREAD__)
#define PAGE_MAP_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PAGE_MAP_TSAN 1
#endif
#endif
inline bool unmarked(const std::atomic<unsigned char>* entry) {
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(PAGE_MAP_TSAN)
  bool zero;
  asm("cmpb $0, %1" : "=@ccz"(zero) : "m"(*reinterpret_cast<const unsigned char*>(entry)));
  return zero;
#else
  return entry->load(std::memory_order_relaxed) == 0;
#endif
}

// The slot of p's region, shared leaf or own. Acquire, so that the leaf another thread
// just made is read only after what made it (free on x86-64: a plain load).
inline uintptr_t slot_of(uintptr_t index) {
  if (FLAT) return page_map_flat;
  return page_map[index >> LEAF_BITS].load(std::memory_order_acquire);
}

// NOLINTBEGIN(performance-no-int-to-ptr): slots hold addresses, offset without a mask.
inline bool is_marked(const void* p) {
  uintptr_t index = reinterpret_cast<uintptr_t>(p) >> PAGE_SHIFT;
  if (!__builtin_expect((index >> LEAF_BITS) < page_map_limit, 1)) return false;
  return !unmarked(reinterpret_cast<std::atomic<unsigned char>*>(slot_of(index) + index));
}
// NOLINTEND(performance-no-int-to-ptr)
