// The map's storage, reserved from the operating system once and never released.
#include "page_map.h"

#include "prim/prim.h"

page_map_view page_map;

namespace {
std::atomic<unsigned char>* reserved;
}

std::atomic<unsigned char>* page_map_reserve() {
  // Zero bytes are valid atomic bytes holding 0, so the fresh memory needs no setup.
  static_assert(sizeof(std::atomic<unsigned char>) == 1, "map entries are single bytes");
  if (reserved == nullptr) {
    reserved = static_cast<std::atomic<unsigned char>*>(prim_reserve(PAGE_COUNT));
  }
  return reserved;
}
