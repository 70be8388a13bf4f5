// The Linux view of jemalloc for the host tests: its mallctl counters for this thread.
#include <dlfcn.h>

#include "host.h"

namespace {
using mallctl_fn = int (*)(const char*, void*, size_t*, void*, size_t);

mallctl_fn mallctl() {
  void* module = dlopen("libjemalloc.so.2", RTLD_NOW | RTLD_NOLOAD);
  return module != nullptr ? reinterpret_cast<mallctl_fn>(dlsym(module, "mallctl")) : nullptr;
}

uint64_t read(const char* name) {
  uint64_t value = 0;
  size_t size = sizeof value;
  mallctl_fn ctl = mallctl();
  if (ctl == nullptr || ctl(name, &value, &size, nullptr, 0) != 0) return 0;
  return value;
}
}  // namespace

jem_counts jem_now() { return {read("thread.allocated"), read("thread.deallocated")}; }

bool jem_loaded() { return mallctl() != nullptr; }

bool in_router(const void* code) {
  Dl_info code_info, router_info;
  return dladdr(code, &code_info) != 0 &&
         dladdr(reinterpret_cast<void*>(&rfree), &router_info) != 0 &&
         code_info.dli_fbase == router_info.dli_fbase;
}
