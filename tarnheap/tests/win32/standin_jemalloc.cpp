// A small counting jemalloc.dll. Blocks carry a header with their size and origin: a
// private heap of its own normally, so that its blocks never share pages with the C
// library's; VirtualAlloc with MEM_TOP_DOWN (above 2 GiB in a large-address-aware
// process) while top-down mode is on.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "standin.h"

#define STANDIN_EXPORT extern "C" __declspec(dllexport)

namespace {
struct alignas(16) header {
  size_t size;
  bool virtual_memory;
};

std::atomic<long> counts[4];
std::atomic<bool> top_down;
const void* free_caller;

HANDLE heap() {
  static HANDLE own = HeapCreate(0, 0, 0);
  return own;
}

void* allocate(size_t size) {
  if (size > SIZE_MAX / 2) return nullptr;
  bool virtual_memory = top_down;
  void* base = virtual_memory
                   ? VirtualAlloc(nullptr, size + sizeof(header),
                                  MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE)
                   : HeapAlloc(heap(), 0, size + sizeof(header));
  if (base == nullptr) return nullptr;
  header* h = static_cast<header*>(base);
  h->size = size;
  h->virtual_memory = virtual_memory;
  return h + 1;
}

void release(void* block) {
  if (block == nullptr) return;
  header* h = static_cast<header*>(block) - 1;
  if (h->virtual_memory) {
    VirtualFree(h, 0, MEM_RELEASE);
  } else {
    HeapFree(heap(), 0, h);
  }
}
}  // namespace

STANDIN_EXPORT void* je_malloc(size_t size) {
  ++counts[standin_malloc];
  return allocate(size);
}

STANDIN_EXPORT void* je_calloc(size_t count, size_t size) {
  ++counts[standin_calloc];
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* p = allocate(count * size);
  if (p != nullptr) memset(p, 0, count * size);
  return p;
}

STANDIN_EXPORT void* je_realloc(void* block, size_t size) {
  ++counts[standin_realloc];
  void* p = allocate(size);
  if (p == nullptr || block == nullptr) return p;
  size_t old_size = (static_cast<header*>(block) - 1)->size;
  memcpy(p, block, old_size < size ? old_size : size);
  release(block);
  return p;
}

STANDIN_EXPORT void je_free(void* block) {
  ++counts[standin_free];
  free_caller = __builtin_return_address(0);
  release(block);
}

STANDIN_EXPORT long standin_count(int entry) { return counts[entry]; }

STANDIN_EXPORT void standin_top_down(int on) { top_down = on != 0; }

STANDIN_EXPORT const void* standin_free_caller() { return free_caller; }
