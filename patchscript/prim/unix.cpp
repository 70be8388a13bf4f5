// Files through the C library, which takes names as the bytes they are.
#include <time.h>

#include "prim.h"

// Every Unix target of the kit has a 64-bit time_t; a 32-bit one would stop in 2038.
static_assert(sizeof(std::time_t) >= 8, "time_t must hold times after 2038");

std::FILE* prim_open_input(const char* path) { return std::fopen(path, "rb"); }

int64_t prim_clock_now() { return std::time(nullptr); }

bool prim_clock_local(int64_t t, std::tm* out) {
  std::time_t now = t;
  return localtime_r(&now, out) != nullptr;
}
