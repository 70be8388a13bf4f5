// A small counting jemalloc.dll. Blocks carry a header with their size and origin: a
// private heap of its own normally, so that its blocks never share pages with the C
// library's; VirtualAlloc with MEM_TOP_DOWN (above 2 GiB in a large-address-aware
// process) while top-down mode is on; VirtualAlloc at the first free 64 KiB granule at
// or above a chosen address for a chosen number of blocks. Like jemalloc with retain,
// it never gives an address range back: such blocks are only decommitted when freed.
// Like a jemalloc that starts at its first call, it reports retain on only when its
// options string said so by then; like one that starts while it loads, it records
// JE_MALLOC_CONF then.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#define STANDIN_EXPORT extern "C" __declspec(dllexport)

namespace {
struct alignas(16) header {
  size_t size;
  bool virtual_memory;
};

enum entry { malloc_calls, calloc_calls, realloc_calls, free_calls };
std::atomic<long> counts[4];
std::atomic<bool> top_down;
std::atomic<uintptr_t> place_at;
std::atomic<int> place_count;
const void* free_caller;

// The first free range of the size at or above the address, skipping whatever is in
// use; null past the end of the address space.
void* place(uintptr_t at, size_t size) {
  at = (at + 0xffff) & ~uintptr_t(0xffff);
  MEMORY_BASIC_INFORMATION m;
  while (VirtualQuery(reinterpret_cast<void*>(at), &m, sizeof m) == sizeof m) {
    uintptr_t end = reinterpret_cast<uintptr_t>(m.BaseAddress) + m.RegionSize;
    if (m.State == MEM_FREE && end - at >= size) {
      void* p =
          VirtualAlloc(reinterpret_cast<void*>(at), size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
      if (p != nullptr) return p;
    }
    at = (end + 0xffff) & ~uintptr_t(0xffff);
  }
  return nullptr;
}

HANDLE heap() {
  static HANDLE own = HeapCreate(0, 0, 0);
  return own;
}

void* allocate(size_t size) {
  if (size > SIZE_MAX / 2) return nullptr;
  int left = place_count;
  while (left > 0 && !place_count.compare_exchange_weak(left, left - 1)) {
  }
  bool placed = left > 0;
  bool virtual_memory = top_down || placed;
  void* base = placed     ? place(place_at, size + sizeof(header))
               : top_down ? VirtualAlloc(nullptr, size + sizeof(header),
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
    VirtualFree(h, 0, MEM_DECOMMIT);
  } else {
    HeapFree(heap(), 0, h);
  }
}
}  // namespace

STANDIN_EXPORT void* je_malloc(size_t size) {
  ++counts[malloc_calls];
  return allocate(size);
}

STANDIN_EXPORT void* je_calloc(size_t count, size_t size) {
  ++counts[calloc_calls];
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* p = allocate(count * size);
  if (p != nullptr) memset(p, 0, count * size);
  return p;
}

STANDIN_EXPORT void* je_realloc(void* block, size_t size) {
  ++counts[realloc_calls];
  void* p = allocate(size);
  if (p == nullptr || block == nullptr) return p;
  size_t old_size = (static_cast<header*>(block) - 1)->size;
  memcpy(p, block, old_size < size ? old_size : size);
  release(block);
  return p;
}

STANDIN_EXPORT void je_free(void* block) {
  ++counts[free_calls];
  free_caller = __builtin_return_address(0);
  release(block);
}

extern "C" {
__declspec(dllexport) const char* je_malloc_conf = nullptr;
}

// Answers what the router and the tests ask: the retain option, and the counters that
// stand for jemalloc's per-thread byte counts, in calls for the whole process.
STANDIN_EXPORT int je_mallctl(const char* name, void* old, size_t* old_size, void*, size_t) {
  static const bool retain =
      je_malloc_conf != nullptr && std::strstr(je_malloc_conf, "retain:true");
  if (std::strcmp(name, "opt.retain") == 0 && *old_size == sizeof(bool)) {
    *static_cast<bool*>(old) = retain;
    return 0;
  }
  uint64_t value;
  if (std::strcmp(name, "thread.allocated") == 0) {
    value = uint64_t(counts[malloc_calls] + counts[calloc_calls] + counts[realloc_calls]);
  } else if (std::strcmp(name, "thread.deallocated") == 0) {
    value = uint64_t(counts[free_calls] + counts[realloc_calls]);
  } else {
    return 2;  // ENOENT, as jemalloc answers an unknown name
  }
  if (*old_size != sizeof value) return 22;  // EINVAL
  std::memcpy(old, &value, sizeof value);
  return 0;
}

namespace {
// JE_MALLOC_CONF as the C runtime held it while the DLL loaded, or null.
const char* options_at_load;
}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    const char* options = getenv("JE_MALLOC_CONF");
    options_at_load = options != nullptr ? _strdup(options) : nullptr;
  }
  return TRUE;
}

STANDIN_EXPORT const char* standin_options_at_load() { return options_at_load; }

STANDIN_EXPORT void standin_top_down(int on) { top_down = on != 0; }

STANDIN_EXPORT void standin_place(uintptr_t at, int count) {
  place_at = at;
  place_count = count;
}

STANDIN_EXPORT const void* standin_free_caller() { return free_caller; }
