// Files through POSIX descriptors, MD5 from OpenSSL's libcrypto through dlopen.
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "prim.h"

// Every Unix target of the kit has a 64-bit time_t; a 32-bit one would stop in 2038.
static_assert(sizeof(std::time_t) >= 8, "time_t must hold times after 2038");

namespace {
// Standard output as noted at start: its identity, and its length when a regular file.
bool output_known;
struct stat output_info;

// EVP_Digest(data, count, md, size, type, engine) and EVP_md5(): the one-shot digest,
// which OpenSSL 3 does not deprecate.
using evp_digest_fn = int (*)(const void*, size_t, unsigned char*, unsigned int*, const void*,
                              void*);
using evp_md5_fn = const void* (*)();
evp_digest_fn evp_digest;
evp_md5_fn evp_md5;
}  // namespace

std::FILE* prim_open_input(const char* path) { return std::fopen(path, "rb"); }

void prim_output_note() { output_known = fstat(STDOUT_FILENO, &output_info) == 0; }

bool prim_is_output(std::FILE* file) {
  struct stat info;
  return output_known && fstat(fileno(file), &info) == 0 && info.st_dev == output_info.st_dev &&
         info.st_ino == output_info.st_ino;
}

void prim_output_undo() {
  // An appending stream wrote after the noted length too, so the same cut serves both.
  if (output_known && S_ISREG(output_info.st_mode))
    (void)ftruncate(STDOUT_FILENO, output_info.st_size);
}

int64_t prim_clock_now() { return std::time(nullptr); }

bool prim_clock_local(int64_t t, std::tm* out) {
  std::time_t now = t;
  return localtime_r(&now, out) != nullptr;
}

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

void prim_prefer_large_pages(void* start, size_t size) {
  // madvise wants a page-aligned start; the kernel backs the 2 MiB-aligned stretches
  // inside the range with transparent huge pages.
  size_t misalignment = reinterpret_cast<uintptr_t>(start) & 4095;
  madvise(static_cast<char*>(start) - misalignment, size + misalignment, MADV_HUGEPAGE);
}
