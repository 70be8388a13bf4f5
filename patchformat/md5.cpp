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

namespace {
// A failed binding is not remembered, so a later call tries again.
bool bind_once() { return bound || (bound = bind()); }

void hex(const unsigned char digest[16], char* text) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < 16; ++i) {
    text[2 * i] = digits[digest[i] >> 4];
    text[2 * i + 1] = digits[digest[i] & 15];
  }
  text[32] = '\0';
}
}  // namespace

int md5_hex(const unsigned char* data, int32_t length, char* text) {
  md5_pieces m;  // one piece: the same routines as any other MD5 here
  if (!m.begin()) return -1;
  m.add(data, length);
  return m.end(text) ? 0 : -1;
}

md5_pieces::~md5_pieces() {
  unsigned char digest[16];
  if (state_ != nullptr) prim_md5_end(state_, digest);
}

bool md5_pieces::begin() {
  ok_ = bind_once() && (state_ = prim_md5_begin()) != nullptr;
  return ok_;
}

void md5_pieces::add(const unsigned char* data, int32_t length) {
  ok_ = ok_ && length >= 0 && prim_md5_add(state_, data, size_t(length));
}

bool md5_pieces::end(char* text) {
  unsigned char digest[16];
  bool ok = state_ != nullptr && prim_md5_end(state_, digest) && ok_;
  state_ = nullptr;
  if (ok) hex(digest, text);
  return ok;
}
