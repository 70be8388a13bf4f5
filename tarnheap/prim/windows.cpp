// jemalloc through LoadLibraryA, and the map's memory through VirtualAlloc.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "prim.h"

const char* const prim_jemalloc_libraries[] = {"jemalloc.dll", nullptr};

namespace {
template <typename F>
bool find(HMODULE module, const char* name, F* entry) {
  *entry = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *entry != nullptr;
}

// jemalloc reads its options once, when it starts: first the string that its exported
// je_malloc_conf points to, then the JE_MALLOC_CONF environment variable, which wins.
// Built for 32-bit Windows, it keeps retain off and gives freed address ranges back to
// the system, where the host's own blocks could later start in pages that stay marked.
// So retain is asked for through both: builds made with GCC start while the DLL loads,
// and only the variable, set around the load, reaches them; builds that start at their
// first call read the string, set before that call. A host's own options are kept:
// retain is appended to them unless they name it, and then their choice stands. The
// router reads the option that is in force either way.
const char env_name[] = "JE_MALLOC_CONF";

// Whether options set retain themselves: "retain:" at the start or after a comma.
bool names_retain(const char* options) {
  for (const char* at = std::strstr(options, "retain:"); at != nullptr;
       at = std::strstr(at + 1, "retain:")) {
    if (at == options || at[-1] == ',') return true;
  }
  return false;
}

// Writes prefix and the options with retain asked for into out; false when the options
// name retain already or the text does not fit.
bool with_retain(const char* prefix, const char* options, char* out, size_t size) {
  if (options == nullptr || *options == '\0') {
    return std::snprintf(out, size, "%sretain:true", prefix) < int(size);
  }
  return !names_retain(options) &&
         std::snprintf(out, size, "%s%s,retain:true", prefix, options) < int(size);
}

// Loads the library with JE_MALLOC_CONF asking for retain, then puts the variable back
// as it was. Through the C runtime's _putenv, which jemalloc's getenv reads. A library
// already loaded has started, or is the host's to configure: it is loaded as it is.
HMODULE load_asking_for_retain(const char* library) {
  static char setting[1024];
  static char restore[1024];
  const char* own = std::getenv(env_name);
  if (GetModuleHandleA(library) != nullptr ||
      std::snprintf(restore, sizeof restore, "%s=%s", env_name, own ? own : "") >=
          int(sizeof restore) ||
      !with_retain("JE_MALLOC_CONF=", own, setting, sizeof setting) || _putenv(setting) != 0) {
    return LoadLibraryA(library);
  }
  HMODULE module = LoadLibraryA(library);
  _putenv(restore);  // "NAME=" removes a variable that was not set
  return module;
}

// For builds that start at their first call: the exported string, before that call.
void set_options_string(HMODULE module) {
  static char joined[1024];
  const char** options = nullptr;
  if (find(module, "je_malloc_conf", &options) &&
      with_retain("", *options, joined, sizeof joined)) {
    *options = joined;
  }
}
}  // namespace

bool prim_bind_jemalloc(const char* library, jemalloc_entries* out) {
  HMODULE module = load_asking_for_retain(library);
  if (module == nullptr) return false;
  jemalloc_entries e;
  if (find(module, "je_malloc", &e.malloc) && find(module, "je_calloc", &e.calloc) &&
      find(module, "je_realloc", &e.realloc) && find(module, "je_free", &e.free) &&
      find(module, "je_mallctl", &e.mallctl)) {
    set_options_string(module);
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
