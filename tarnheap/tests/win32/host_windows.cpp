// The Windows side of the host tests: whichever jemalloc.dll lies beside the test (the
// real one, or the stand-in with its call counters), and the host's own VirtualAlloc.
#include <windows.h>

#include "../host.h"
#include "standin.h"

namespace {
template <typename F>
F entry(const char* name) {
  HMODULE module = GetModuleHandleA("jemalloc.dll");
  if (module == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// VirtualAlloc places a reservation on a 64 KiB boundary.
char* granule_of(void* address) {
  return static_cast<char*>(address) - (reinterpret_cast<uintptr_t>(address) & 0xffff);
}
}  // namespace

mallctl_fn jem_mallctl() { return entry<mallctl_fn>("je_mallctl"); }

// Started at once by a jemalloc.dll built with GCC, with the options in force then.
bool jem_preload() { return LoadLibraryA("jemalloc.dll") != nullptr; }

jem_allocator jem_own() {
  return {entry<void* (*)(size_t)>("je_malloc"), entry<void (*)(void*)>("je_free")};
}

void* claim_at(void* address, size_t size) {
  char* base = granule_of(address);
  size += static_cast<char*>(address) - base;
  void* p = VirtualAlloc(base, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  return p == base ? address : nullptr;
}

void unclaim(void* block, size_t) { VirtualFree(granule_of(block), 0, MEM_RELEASE); }

bool in_router(const void* code) {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCSTR>(code), &module);
  return module != nullptr && module == GetModuleHandleA("tarnheap.dll");
}

void set_top_down(bool on) { entry<void (*)(int)>("standin_top_down")(on ? 1 : 0); }

void set_place(uintptr_t at, int count) {
  entry<void (*)(uintptr_t, int)>("standin_place")(at, count);
}

const void* last_free_caller() { return entry<const void* (*)()>("standin_free_caller")(); }
