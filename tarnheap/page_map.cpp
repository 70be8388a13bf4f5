// The map's storage, reserved from the operating system once and never released.
#include "page_map.h"

page_map_view page_map;

namespace {
char* base;  // the reservation: the chunk flags, then the map
std::atomic<unsigned char>* reserved;
bool (*commit)(void*, size_t) = prim_commit;
}  // namespace

std::atomic<unsigned char>* page_map_reserve() {
  // Zero bytes are valid atomic bytes holding 0, so the fresh memory needs no setup.
  static_assert(sizeof(std::atomic<unsigned char>) == 1, "map entries are single bytes");
  if (base == nullptr) base = static_cast<char*>(prim_reserve(CHUNK_COUNT + PAGE_COUNT));
  // What every lookup may read must be backed from the start: the chunk flags, or
  // without overcommit a map that is not chunked, whole.
  size_t at_once = CHUNKED ? CHUNK_COUNT : PRIM_OVERCOMMITS ? 0 : PAGE_COUNT;
  if (reserved == nullptr && base != nullptr && (at_once == 0 || prim_commit(base, at_once))) {
    reserved = reinterpret_cast<std::atomic<unsigned char>*>(base + CHUNK_COUNT);
  }
  return reserved;
}

bool page_map_commit(const void* p) {
  // Two threads may commit one chunk at once; the second commit leaves it as it is.
  uintptr_t chunk = reinterpret_cast<uintptr_t>(p) >> (PAGE_SHIFT + CHUNK_SHIFT);
  if (!commit(page_map.entries + (chunk << CHUNK_SHIFT), size_t(1) << CHUNK_SHIFT)) return false;
  page_map.entries[ptrdiff_t(chunk) - ptrdiff_t(CHUNK_COUNT)].store(1, std::memory_order_release);
  return true;
}

void set_page_map_commit(bool (*routine)(void*, size_t)) { commit = routine; }
