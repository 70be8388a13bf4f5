#include <sys/mman.h>

#include <cstdint>

#include "pages.h"

void prefer_large_pages(void* start, size_t size) {
  // madvise wants a page-aligned start; the kernel backs the 2 MiB-aligned stretches
  // inside the range with transparent huge pages.
  uintptr_t first = reinterpret_cast<uintptr_t>(start) & ~uintptr_t(4095);
  size += reinterpret_cast<uintptr_t>(start) - first;
  madvise(reinterpret_cast<void*>(first), size, MADV_HUGEPAGE);
}
