// The Windows view of jemalloc for the host tests: the stand-in jemalloc.dll's counters.
#include <windows.h>

#include "../host.h"
#include "standin.h"

namespace {
template <typename F>
F standin(const char* name) {
  HMODULE module = GetModuleHandleA("jemalloc.dll");
  if (module == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
}  // namespace

jem_counts jem_now() {
  auto count = standin<standin_count_fn>("standin_count");
  if (count == nullptr) return {0, 0};
  long realloc_calls = count(standin_realloc);
  return {uint64_t(count(standin_malloc) + count(standin_calloc) + realloc_calls),
          uint64_t(count(standin_free) + realloc_calls)};
}

bool jem_loaded() { return GetModuleHandleA("jemalloc.dll") != nullptr; }

bool in_router(const void* code) {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCSTR>(code), &module);
  return module != nullptr && module == GetModuleHandleA("tarnheap.dll");
}

void set_top_down(bool on) { standin<void (*)(int)>("standin_top_down")(on ? 1 : 0); }

const void* last_free_caller() { return standin<const void* (*)()>("standin_free_caller")(); }
