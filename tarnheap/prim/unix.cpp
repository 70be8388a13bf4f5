// jemalloc through dlopen, and the map's memory through mmap.
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <sys/mman.h>

#include "prim.h"

const char* const prim_jemalloc_libraries[] = {"libjemalloc.so.2", "libjemalloc.so", nullptr};

namespace {
// A lookup through a handle also searches the library's dependencies, so an entry only
// counts when the symbol found is defined in that library itself: a jemalloc without
// "malloc" must not quietly bind the C library's.
void* own_symbol(void* module, const char* name) {
  void* symbol = dlsym(module, name);
  if (symbol == nullptr) return nullptr;
  link_map* own = nullptr;
  link_map* found = nullptr;
  Dl_info info;
  if (dlinfo(module, RTLD_DI_LINKMAP, &own) != 0) return nullptr;
  if (dladdr1(symbol, &info, reinterpret_cast<void**>(&found), RTLD_DL_LINKMAP) == 0) {
    return nullptr;
  }
  return found == own ? symbol : nullptr;
}

template <typename F>
bool find(void* module, const char* name, F* entry) {
  *entry = reinterpret_cast<F>(own_symbol(module, name));
  return *entry != nullptr;
}

// The five entries under one naming, all of them or none.
bool find_all(void* module, const char* const names[5], jemalloc_entries* out) {
  jemalloc_entries e;
  if (find(module, names[0], &e.malloc) && find(module, names[1], &e.calloc) &&
      find(module, names[2], &e.realloc) && find(module, names[3], &e.free) &&
      find(module, names[4], &e.mallctl)) {
    *out = e;
    return true;
  }
  return false;
}

// Builds configured with a prefix export je_malloc and so on; Debian's exports the
// plain names.
const char* const prefixed[5] = {"je_malloc", "je_calloc", "je_realloc", "je_free", "je_mallctl"};
const char* const plain[5] = {"malloc", "calloc", "realloc", "free", "mallctl"};

// The jemalloc this library loaded itself, which a later init may bind again.
void* loaded_here;
}  // namespace

bool prim_bind_jemalloc(const char* library, jemalloc_entries* out) {
  // Loaded before, by anyone else: linked or preloaded it is the process's own malloc,
  // and a host that loaded it may allocate from it; either way host blocks would share
  // its pages.
  void* present = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (present != nullptr) {
    dlclose(present);
    if (present != loaded_here) return false;
  }
  // jemalloc starts in its constructor, during dlopen, so its options are only read. A
  // build with initial-exec TLS fails here without room left in the static TLS block.
  void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return false;
  if (find_all(module, prefixed, out) || find_all(module, plain, out)) {
    loaded_here = module;
    return true;
  }
  dlclose(module);
  return false;
}

bool prim_pin_self() {
  // RTLD_NODELETE on a library already loaded keeps it to the end of the process; the
  // main program (objects linked into a test) is never unloaded anyway.
  Dl_info info;
  link_map* self = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&prim_pin_self), &info, reinterpret_cast<void**>(&self),
              RTLD_DL_LINKMAP) == 0 ||
      self == nullptr) {
    return false;
  }
  if (self->l_name == nullptr || self->l_name[0] == '\0') return true;
  return dlopen(self->l_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

void* prim_reserve(size_t bytes) {
  // Address space only: pages become resident when first touched, and MAP_NORESERVE
  // takes no commit charge where the system overcommits (strict overcommit charges the
  // whole size). Huge pages would make a leaf's first mark cost 2 MiB.
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  madvise(p, bytes, MADV_NOHUGEPAGE);
  return p;
}

bool prim_commit(void*, size_t) { return true; }

void prim_no_memory() { errno = ENOMEM; }
