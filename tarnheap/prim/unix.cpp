// jemalloc through dlopen, and the map's memory through mmap.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "prim.h"

// tarnheap's own jemalloc, shipped beside the library, loads anywhere (no initial-exec
// TLS) and is never the host's malloc; then the system's, which Debian builds with
// initial-exec TLS, so that it loads after start-up only with room reserved for it.
const char* const prim_jemalloc_libraries[] = {"$ORIGIN/libtarnheap-jemalloc.so",
                                               "libjemalloc.so.2", "libjemalloc.so", nullptr};

namespace {
// The folder of the object that holds this code (libtarnheap.so, or a program that
// links these objects), with its final slash; empty when unknown. The path of a library
// the host loaded by a relative name is taken from the current folder when init runs.
std::string own_folder() {
  Dl_info info;
  link_map* self = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&own_folder), &info, reinterpret_cast<void**>(&self),
              RTLD_DL_LINKMAP) == 0 ||
      self == nullptr) {
    return "";
  }
  char path[PATH_MAX];
  const char* name = self->l_name;
  if (name == nullptr || name[0] == '\0') {  // the main program
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    name = path;
  } else if (name[0] != '/') {
    if (realpath(name, path) == nullptr) return "";
    name = path;
  }
  return std::string(name, std::strrchr(name, '/') + 1);
}

// A name that starts with "$ORIGIN/", as in the dynamic linker's run paths, is a file in
// the folder of this object, and only there: never in the current folder or along a
// search path. The expansion is not left to dlopen, which takes the folder of its
// caller, and that is the sanitizer's library when one intercepts dlopen. Empty when the
// folder is unknown.
std::string expand(const char* library) {
  const char origin[] = "$ORIGIN/";
  if (std::strncmp(library, origin, sizeof origin - 1) != 0) return library;
  std::string folder = own_folder();
  return folder.empty() ? folder : folder + (library + sizeof origin - 1);
}

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
  std::string path = expand(library);
  if (path.empty()) return false;
  library = path.c_str();
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
