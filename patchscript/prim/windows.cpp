// Inputs opened by their UTF-16 names, and the 64-bit clock of msvcrt.
#include <windows.h>

#include "prim.h"

namespace {
// The longest path Windows accepts, with its terminating NUL.
wchar_t wide_path[32768];
}  // namespace

// The arguments are ANSI text converted exactly from what was typed (main_windows.cpp),
// so converting back gives that very name.
std::FILE* prim_open_input(const char* path) {
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide_path,
                          sizeof wide_path / sizeof *wide_path) == 0)
    return nullptr;
  return _wfopen(wide_path, L"rb");
}

// msvcrt's time and localtime hold a 32-bit time_t in a 32-bit build; the 64-bit pair
// runs to the year 3000.
int64_t prim_clock_now() { return _time64(nullptr); }

bool prim_clock_local(int64_t t, std::tm* out) {
  __time64_t now = t;
  const std::tm* local = _localtime64(&now);
  if (local == nullptr) return false;
  *out = *local;
  return true;
}
