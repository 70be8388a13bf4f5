// MD5 from the system's cryptdll.dll.
#include <windows.h>

#include <new>

#include "prim.h"

namespace {
// cryptdll's context: 104 bytes, the finished digest at bytes 88 to 103.
struct md5_context {
  unsigned char state[88];
  unsigned char digest[16];
};
static_assert(sizeof(md5_context) == 104, "cryptdll's MD5 context is 104 bytes");

using md5_init_fn = void(WINAPI*)(md5_context*);
using md5_update_fn = void(WINAPI*)(md5_context*, const unsigned char*, unsigned int);
using md5_final_fn = void(WINAPI*)(md5_context*);
md5_init_fn md5_init;
md5_update_fn md5_update;
md5_final_fn md5_final;

template <typename F>
F lookup(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
}  // namespace

const char* const prim_md5_libraries[] = {"cryptdll.dll", nullptr};

bool prim_md5_bind(const char* library) {
  // The system folder only: a plain LoadLibraryA looks in the program's folder first,
  // where a planted cryptdll.dll would run.
  HMODULE module = LoadLibraryExA(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return false;
  auto init = lookup<md5_init_fn>(module, "MD5Init");
  auto update = lookup<md5_update_fn>(module, "MD5Update");
  auto finish = lookup<md5_final_fn>(module, "MD5Final");
  if (init == nullptr || update == nullptr || finish == nullptr) {
    FreeLibrary(module);
    return false;
  }
  md5_init = init;
  md5_update = update;
  md5_final = finish;
  return true;
}

void* prim_md5_begin() {
  auto* context = new (std::nothrow) md5_context;
  if (context != nullptr) md5_init(context);
  return context;
}

bool prim_md5_add(void* state, const unsigned char* data, size_t size) {
  auto* context = static_cast<md5_context*>(state);
  // MD5Update takes a 32-bit count.
  for (size_t step; size > 0; data += step, size -= step) {
    step = size < 0x40000000u ? size : 0x40000000u;
    md5_update(context, data, static_cast<unsigned int>(step));
  }
  return true;
}

bool prim_md5_end(void* state, unsigned char digest[16]) {
  auto* context = static_cast<md5_context*>(state);
  md5_final(context);
  for (int i = 0; i < 16; ++i) digest[i] = context->digest[i];
  delete context;
  return true;
}
