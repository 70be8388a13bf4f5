// The map's storage, taken from the operating system as it is needed and never released.
#include "page_map.h"

std::atomic<uintptr_t>* page_map;
uintptr_t page_map_limit;
uintptr_t page_map_flat;

namespace {
std::atomic<uintptr_t>* reserved;  // the top, once made
uintptr_t shared;  // 64-bit: the leaf every slot leads to until its own is made; 32-bit: the map
// A leaf made for a slot that another thread filled first, kept for the next slot. A
// third thread losing the same race at that moment loses its leaf's address space.
std::atomic<char*> spare;
bool (*commit)(void*, size_t) = prim_commit;

// What an empty slot holds: the shared leaf, less the index of the slot's first page.
uintptr_t empty_slot(uintptr_t slot) { return shared - (slot << LEAF_BITS); }

// Installs a leaf in the slot, unless another thread did first, and sets *value to the
// slot's new value; false when no leaf can be had. The install releases the leaf's
// making to lookups, which acquire the slot.
bool make_leaf(uintptr_t slot, uintptr_t* value) {
  char* leaf = spare.exchange(nullptr, std::memory_order_acquire);
  if (leaf == nullptr) leaf = static_cast<char*>(prim_reserve(LEAF_BYTES));
  if (leaf == nullptr) return false;
  bool had = commit(leaf, LEAF_BYTES);
  if (had) {
    *value = empty_slot(slot);
    uintptr_t own = reinterpret_cast<uintptr_t>(leaf) - (slot << LEAF_BITS);
    if (page_map[slot].compare_exchange_strong(*value, own, std::memory_order_acq_rel)) {
      *value = own;
      return true;
    }
  }
  char* none = nullptr;  // another thread's leaf is in the slot, or this one is not backed
  spare.compare_exchange_strong(none, leaf, std::memory_order_release);
  return had;
}
}  // namespace

std::atomic<uintptr_t>* page_map_reserve() {
  static_assert(sizeof(std::atomic<unsigned char>) == 1, "map entries are single bytes");
  static_assert(sizeof(std::atomic<uintptr_t>) == sizeof(uintptr_t), "slots are addresses");
  if (reserved != nullptr) return reserved;
  // 64-bit: the top, then the shared leaf. Both are read by lookups anywhere, so both are
  // backed at once; every slot is written to lead to the shared leaf. 32-bit: one leaf
  // for everything, zero as reserved.
  const size_t top_bytes = FLAT ? 0 : TOP_SLOTS * sizeof(uintptr_t);
  char* base = static_cast<char*>(prim_reserve(top_bytes + LEAF_BYTES));
  if (base == nullptr || !prim_commit(base, top_bytes + LEAF_BYTES)) return nullptr;
  static std::atomic<uintptr_t> flat_slot;
  shared = reinterpret_cast<uintptr_t>(base + top_bytes);
  std::atomic<uintptr_t>* top = FLAT ? &flat_slot : reinterpret_cast<std::atomic<uintptr_t>*>(base);
  for (uintptr_t slot = 0; slot < TOP_SLOTS; ++slot) {
    top[slot].store(empty_slot(slot), std::memory_order_relaxed);
  }
  reserved = top;
  return reserved;
}

void page_map_enable(std::atomic<uintptr_t>* top) {
  page_map = top;
  page_map_flat = top[0].load(std::memory_order_relaxed);
  page_map_limit = TOP_SLOTS;
}

bool mark_page(const void* p) {
  uintptr_t index = reinterpret_cast<uintptr_t>(p) >> PAGE_SHIFT;
  uintptr_t slot = index >> LEAF_BITS;
  if (page_map_limit == 0) return true;
  if (slot >= page_map_limit) return false;
  uintptr_t leaf = page_map[slot].load(std::memory_order_acquire);
  if (!FLAT && leaf == empty_slot(slot) && !make_leaf(slot, &leaf)) return false;
  // Skipped when set already, so threads marking in one region do not keep writing one
  // cache line.
  // NOLINTNEXTLINE(performance-no-int-to-ptr): slots hold addresses.
  auto* entry = reinterpret_cast<std::atomic<unsigned char>*>(leaf + index);
  if (entry->load(std::memory_order_relaxed) == 0) entry->store(1, std::memory_order_relaxed);
  return true;
}

void set_page_map_commit(bool (*routine)(void*, size_t)) { commit = routine; }
