#include <sys/mman.h>

#include <cstdint>

#include "pages.h"

void prefer_large_pages(void* start, size_t size) {
  // madvise wants a page-aligned start; the kernel backs the 2 MiB-aligned stretches
  // inside the range with transparent huge pages.
  size_t misalignment = reinterpret_cast<uintptr_t>(start) & 4095;
  madvise(static_cast<char*>(start) - misalignment, size + misalignment, MADV_HUGEPAGE);
}
