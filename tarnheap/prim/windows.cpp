// jemalloc through LoadLibraryA, and the map's memory through VirtualAlloc.
#include <windows.h>

#include "prim.h"

const char* const prim_jemalloc_libraries[] = {"jemalloc.dll", nullptr};

namespace {
template <typename F>
bool find(HMODULE module, const char* name, F* entry) {
  *entry = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *entry != nullptr;
}
}  // namespace

bool prim_bind_jemalloc(const char* library, jemalloc_entries* out) {
  HMODULE module = LoadLibraryA(library);
  if (module == nullptr) return false;
  jemalloc_entries e;
  if (find(module, "je_malloc", &e.malloc) && find(module, "je_calloc", &e.calloc) &&
      find(module, "je_realloc", &e.realloc) && find(module, "je_free", &e.free)) {
    *out = e;
    return true;
  }
  FreeLibrary(module);
  return false;
}

void* prim_reserve(size_t bytes) {
  // Committed pages are zero and take physical memory only once touched.
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}
