// MD5 from OpenSSL's libcrypto through dlopen.
#include <dlfcn.h>

#include <cstddef>

#include "prim.h"

namespace {
// EVP_Digest(data, count, md, size, type, engine) and EVP_md5(): the one-shot digest,
// which OpenSSL 3 does not deprecate.
using evp_digest_fn = int (*)(const void*, size_t, unsigned char*, unsigned int*, const void*,
                              void*);
using evp_md5_fn = const void* (*)();
evp_digest_fn evp_digest;
evp_md5_fn evp_md5;
}  // namespace

const char* const prim_md5_libraries[] = {"libcrypto.so.3", "libcrypto.so", nullptr};

bool prim_md5_bind(const char* library) {
  void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return false;
  auto digest = reinterpret_cast<evp_digest_fn>(dlsym(module, "EVP_Digest"));
  auto md5 = reinterpret_cast<evp_md5_fn>(dlsym(module, "EVP_md5"));
  if (digest == nullptr || md5 == nullptr) {
    dlclose(module);
    return false;
  }
  evp_digest = digest;
  evp_md5 = md5;
  return true;
}

bool prim_md5_digest(const unsigned char* data, int32_t length, unsigned char digest[16]) {
  // Where MD5 is disabled (FIPS mode) EVP_md5 is null or refused: unavailable, not wrong.
  const void* type = evp_md5();
  unsigned int size = 0;
  return type != nullptr && evp_digest(data, size_t(length), digest, &size, type, nullptr) == 1 &&
         size == 16;
}
