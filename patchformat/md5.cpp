#include "md5.h"

#include <cstddef>

#include "prim/prim.h"

namespace {
bool bound;
const char* chosen_library;  // test seam; nullptr means the platform's list

bool bind() {
  if (chosen_library != nullptr) return prim_md5_bind(chosen_library);
  for (const char* const* name = prim_md5_libraries; *name != nullptr; ++name)
    if (prim_md5_bind(*name)) return true;
  return false;
}
}  // namespace

// Declared for the tests only, in tests/md5_seam.h.
void md5_use_library(const char* name) { chosen_library = name; }

int md5_hex(const unsigned char* data, int32_t length, char* text) {
  // A failed binding is not remembered, so a later call tries again.
  if (!bound) bound = bind();
  unsigned char digest[16];
  if (!bound || length < 0 || !prim_md5_digest(data, length, digest)) return -1;

  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < 16; ++i) {
    text[2 * i] = digits[digest[i] >> 4];
    text[2 * i + 1] = digits[digest[i] & 15];
  }
  text[32] = '\0';
  return 0;
}
