// The command line's arguments arrive as text in the ANSI code page, converted exactly
// from what the user typed (args_windows.cpp), so converting back gives that very name.
#include <windows.h>

#include <cstdio>

#include "files.h"

namespace {
// The longest path Windows accepts, with its terminating NUL.
wchar_t wide_path[32768];
}  // namespace

std::FILE* open_input(const char* path) {
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide_path,
                          sizeof wide_path / sizeof *wide_path) == 0)
    return nullptr;
  return _wfopen(wide_path, L"rb");
}
