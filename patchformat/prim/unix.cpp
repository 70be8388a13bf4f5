// MD5 from OpenSSL's libcrypto through dlopen.
#include <dlfcn.h>

#include <cstddef>

#include "prim.h"

namespace {
// EVP_md5() and the digest in pieces: EVP_MD_CTX_new/free, EVP_DigestInit_ex, Update
// and Final_ex, which OpenSSL 3 does not deprecate (its MD5_* routines it does).
using evp_md5_fn = const void* (*)();
using ctx_new_fn = void* (*)();
using ctx_free_fn = void (*)(void*);
using init_fn = int (*)(void*, const void*, void*);
using update_fn = int (*)(void*, const void*, size_t);
using final_fn = int (*)(void*, unsigned char*, unsigned int*);
evp_md5_fn evp_md5;
ctx_new_fn ctx_new;
ctx_free_fn ctx_free;
init_fn digest_init;
update_fn digest_update;
final_fn digest_final;

template <typename F>
F lookup(void* module, const char* name) {
  return reinterpret_cast<F>(dlsym(module, name));
}
}  // namespace

const char* const prim_md5_libraries[] = {"libcrypto.so.3", "libcrypto.so", nullptr};

bool prim_md5_bind(const char* library) {
  void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return false;
  auto md5 = lookup<evp_md5_fn>(module, "EVP_md5");
  auto make = lookup<ctx_new_fn>(module, "EVP_MD_CTX_new");
  auto free = lookup<ctx_free_fn>(module, "EVP_MD_CTX_free");
  auto init = lookup<init_fn>(module, "EVP_DigestInit_ex");
  auto update = lookup<update_fn>(module, "EVP_DigestUpdate");
  auto finish = lookup<final_fn>(module, "EVP_DigestFinal_ex");
  if (md5 == nullptr || make == nullptr || free == nullptr || init == nullptr ||
      update == nullptr || finish == nullptr) {
    dlclose(module);
    return false;
  }
  evp_md5 = md5;
  ctx_new = make;
  ctx_free = free;
  digest_init = init;
  digest_update = update;
  digest_final = finish;
  return true;
}

void* prim_md5_begin() {
  // Where MD5 is disabled (FIPS mode) EVP_md5 is null or refused: unavailable, not wrong.
  const void* type = evp_md5();
  void* state = type != nullptr ? ctx_new() : nullptr;
  if (state != nullptr && digest_init(state, type, nullptr) != 1) ctx_free(state), state = nullptr;
  return state;
}

bool prim_md5_add(void* state, const unsigned char* data, size_t size) {
  return digest_update(state, data, size) == 1;
}

bool prim_md5_end(void* state, unsigned char digest[16]) {
  unsigned int size = 0;
  bool ok = digest_final(state, digest, &size) == 1 && size == 16;
  ctx_free(state);
  return ok;
}
