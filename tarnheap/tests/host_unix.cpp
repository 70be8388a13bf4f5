// The Linux side of the host tests: the jemalloc the router loaded (its own beside the
// library, or Debian's), Debian's as the host's own, the host's own mappings, and an
// address-space limit.
#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <string>

#include "host.h"

namespace {
// tarnheap's own jemalloc when it is loaded, wherever it came from.
int find_own(dl_phdr_info* info, size_t, void* found) {
  std::string name = info->dlpi_name;
  const std::string own = "/libtarnheap-jemalloc.so";
  if (name.size() > own.size() && name.compare(name.size() - own.size(), own.size(), own) == 0) {
    *static_cast<void**>(found) = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  }
  return 0;
}

// HOST_AS_LIMIT=BYTES runs the process under that address-space limit (RLIMIT_AS), as
// batch schedulers and sandboxes set one, from before any test or init on.
const bool limited = [] {
  const char* bytes = getenv("HOST_AS_LIMIT");
  rlim_t limit = bytes != nullptr ? strtoul(bytes, nullptr, 10) : RLIM_INFINITY;
  rlimit both = {limit, limit};
  if (bytes != nullptr && setrlimit(RLIMIT_AS, &both) != 0) abort();
  return bytes != nullptr;
}();
}  // namespace

mallctl_fn jem_mallctl() {
  void* own = nullptr;
  dl_iterate_phdr(find_own, &own);
  if (own != nullptr) return reinterpret_cast<mallctl_fn>(dlsym(own, "je_mallctl"));
  void* module = dlopen("libjemalloc.so.2", RTLD_NOW | RTLD_NOLOAD);
  return module != nullptr ? reinterpret_cast<mallctl_fn>(dlsym(module, "mallctl")) : nullptr;
}

bool jem_preload() { return dlopen("libjemalloc.so.2", RTLD_NOW | RTLD_LOCAL) != nullptr; }

namespace {
char* page_of(void* address) {
  return static_cast<char*>(address) - (reinterpret_cast<uintptr_t>(address) & 4095);
}
}  // namespace

void* claim_at(void* address, size_t size) {
  char* base = page_of(address);
  size += static_cast<char*>(address) - base;
  void* p = mmap(base, size, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (p != base) {  // a kernel without MAP_FIXED_NOREPLACE takes the address as a hint
    munmap(p, size);
    return nullptr;
  }
  return address;
}

void unclaim(void* block, size_t size) {
  char* base = page_of(block);
  munmap(base, size + size_t(static_cast<char*>(block) - base));
}

bool in_router(const void* code) {
  Dl_info code_info, router_info;
  return dladdr(code, &code_info) != 0 &&
         dladdr(reinterpret_cast<void*>(&rfree), &router_info) != 0 &&
         code_info.dli_fbase == router_info.dli_fbase;
}

jem_allocator jem_own() {
  void* module = dlopen("libjemalloc.so.2", RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr) return {nullptr, nullptr};
  return {reinterpret_cast<void* (*)(size_t)>(dlsym(module, "malloc")),
          reinterpret_cast<void (*)(void*)>(dlsym(module, "free"))};
}
