// jemalloc through LoadLibraryExW, and the map's memory through VirtualAlloc.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "prim.h"

const char* const prim_jemalloc_libraries[] = {"jemalloc.dll", nullptr};

namespace {
template <typename F>
bool find(HMODULE module, const char* name, F* entry) {
  *entry = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *entry != nullptr;
}

// The jemalloc this library loaded itself, which a later init may bind again.
HMODULE loaded_here;

// The folder of the module holding this code (tarnheap.dll), with its final backslash;
// empty when unknown.
std::wstring own_folder() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&own_folder), &self)) {
    return L"";
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(self, &path[0], DWORD(path.size()));
    if (n == 0) return L"";
    if (n < path.size()) break;
    path.resize(path.size() * 2);  // cut short: try a longer buffer
  }
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
}

// tarnheap.dll's own folder first, then the application's folder and the system's safe
// folders; never the current folder, where anyone could plant a jemalloc.dll. Windows
// without the safe-folder search (7 without KB2533623) only looks beside tarnheap.dll.
HMODULE load_library(const char* library) {
  std::wstring name(library, library + std::strlen(library));  // file names here are ASCII
  std::wstring folder = own_folder();
  HMODULE module = nullptr;
  if (!folder.empty()) {
    module = LoadLibraryExW((folder + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (module == nullptr) {
    module = LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  }
  return module;
}

// jemalloc for 32-bit Windows keeps retain off unless asked. It reads its options once,
// when it starts: the exported je_malloc_conf string, then JE_MALLOC_CONF, which wins.
// GCC builds start while the DLL loads, others at their first call, so retain is asked
// for through both, and both are put back as found. The host's options are kept, and
// where they name retain their choice stands.
const char env_name[] = "JE_MALLOC_CONF";
const wchar_t env_wide[] = L"JE_MALLOC_CONF";

// Whether options set retain themselves: "retain:" at the start or after a comma.
bool names_retain(const char* options) {
  for (const char* at = std::strstr(options, "retain:"); at != nullptr;
       at = std::strstr(at + 1, "retain:")) {
    if (at == options || at[-1] == ',') return true;
  }
  return false;
}

// The options with retain asked for; empty when they name retain already. A trailing
// comma is not doubled: jemalloc rejects an empty pair and ignores all that follows.
std::string with_retain(const char* options) {
  std::string joined = options != nullptr ? options : "";
  if (names_retain(joined.c_str())) return "";
  if (!joined.empty() && joined.back() != ',') joined += ',';
  return joined + "retain:true";
}

// JE_MALLOC_CONF in the C runtime's two copies (its narrow one, which jemalloc reads, and
// its wide one) and in the process environment, which the runtime's _putenv also writes
// and which may hold a value the runtime never saw.
struct options_state {
  bool wide_set, process_set;
  std::string narrow;  // unset and empty alike: the runtime can only remove an empty one
  std::wstring wide, process;
};

options_state save_options() {
  options_state s{};
  const char* narrow = std::getenv(env_name);
  const wchar_t* wide = _wgetenv(env_wide);
  s.wide_set = wide != nullptr;
  if (narrow != nullptr) s.narrow = narrow;
  if (wide != nullptr) s.wide = wide;
  std::wstring value(1, L'\0');
  for (;;) {
    SetLastError(0);
    DWORD n = GetEnvironmentVariableW(env_wide, &value[0], DWORD(value.size()));
    if (n < value.size()) {  // fits; 0 is an empty value or no variable
      s.process_set = n != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
      value.resize(n);
      break;
    }
    value.resize(n);  // the size asked for, terminator included
  }
  s.process = value;
  return s;
}

// The runtime's copies first, narrow then wide, each exactly unless it held an empty
// value, which its _putenv can only remove; then the process environment exactly.
void restore_options(const options_state& s) {
  _putenv((std::string(env_name) + "=" + s.narrow).c_str());
  if (s.wide_set && !s.wide.empty()) _wputenv((std::wstring(env_wide) + L"=" + s.wide).c_str());
  SetEnvironmentVariableW(env_wide, s.process_set ? s.process.c_str() : nullptr);
}

// Loads the library with JE_MALLOC_CONF asking for retain, then puts it back as found.
HMODULE load_asking_for_retain(const char* library) {
  std::string options = with_retain(std::getenv(env_name));
  if (options.empty()) return load_library(library);
  options_state saved = save_options();
  if (_putenv((std::string(env_name) + "=" + options).c_str()) != 0) {
    restore_options(saved);
    return load_library(library);
  }
  HMODULE module = load_library(library);
  restore_options(saved);
  return module;
}

// For builds that start at their first call: the exported string with retain asked
// for, in place for that first call only.
void start_asking_for_retain(HMODULE module, const jemalloc_entries& e) {
  const char** options = nullptr;
  if (!find(module, "je_malloc_conf", &options)) return;
  std::string joined = with_retain(*options);
  if (joined.empty()) return;
  const char* found = *options;
  *options = joined.c_str();
  bool retain = false;
  size_t size = sizeof retain;
  e.mallctl("opt.retain", &retain, &size, nullptr, 0);
  *options = found;
}
}  // namespace

bool prim_bind_jemalloc(const char* library, jemalloc_entries* out) {
  // Loaded before, by anyone else: the host may allocate its own blocks from it, in
  // the pages of the blocks handed out here.
  HMODULE present = GetModuleHandleA(library);
  if (present != nullptr && present != loaded_here) return false;
  HMODULE module = present != nullptr ? present : load_asking_for_retain(library);
  if (module == nullptr) return false;
  jemalloc_entries e;
  if (find(module, "je_malloc", &e.malloc) && find(module, "je_calloc", &e.calloc) &&
      find(module, "je_realloc", &e.realloc) && find(module, "je_free", &e.free) &&
      find(module, "je_mallctl", &e.mallctl)) {
    if (present == nullptr) start_asking_for_retain(module, e);
    loaded_here = module;
    *out = e;
    return true;
  }
  if (present == nullptr) FreeLibrary(module);
  return false;
}

bool prim_pin_self() {
  HMODULE self = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&prim_pin_self), &self) != 0;
}

void* prim_reserve(size_t bytes) {
  // Address space only; prim_commit backs what the map touches.
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_READWRITE);
}

bool prim_commit(void* at, size_t bytes) {
  // Committed pages are zero and take physical memory only once touched.
  return VirtualAlloc(at, bytes, MEM_COMMIT, PAGE_READWRITE) == at;
}

// jemalloc on Windows reports its errno value through SetLastError.
void prim_no_memory() { SetLastError(12); }
