// MD5 from the system library cryptdll.dll, bound by name at run time.
#include <windows.h>

#include "md5_prim.h"

namespace {
// The context cryptdll's routines work on: 104 bytes, with the finished digest at
// bytes 88 to 103. Only the digest is read here.
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

const char* const md5_prim_libraries[] = {"cryptdll.dll", nullptr};

bool md5_prim_bind(const char* library) {
  HMODULE module = LoadLibraryA(library);
  if (module == nullptr) return false;
  md5_init = lookup<md5_init_fn>(module, "MD5Init");
  md5_update = lookup<md5_update_fn>(module, "MD5Update");
  md5_final = lookup<md5_final_fn>(module, "MD5Final");
  if (md5_init != nullptr && md5_update != nullptr && md5_final != nullptr) return true;
  FreeLibrary(module);
  return false;
}

bool md5_prim_digest(const unsigned char* data, int32_t length, unsigned char digest[16]) {
  md5_context context;
  md5_init(&context);
  md5_update(&context, data, static_cast<unsigned int>(length));
  md5_final(&context);
  for (int i = 0; i < 16; ++i) digest[i] = context.digest[i];
  return true;
}
