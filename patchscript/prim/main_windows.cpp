// The entry point: the command line as UTF-16 (wmain; the program links with -municode).
// The C runtime's narrow argv is a best-fit conversion that can name another file
// (fullwidth letters become ASCII ones), so each argument is converted here exactly, or
// marked inexact and refused. Scripts name files in the ANSI code page.
#include <windows.h>

#include "prim.h"

namespace {
// The command line holds at most 32,767 UTF-16 units, so at most half as many
// arguments, and a unit takes at most three bytes in an ANSI code page (UTF-8 among
// them). A longer line (Wine passes on what it is given) gets inexact, empty texts.
constexpr int LINE_UNITS = 32768;
constexpr int MAX_ARGS = LINE_UNITS / 2 + 1;
char text[4 * LINE_UNITS];
char* args[MAX_ARGS + 1];
bool exact[MAX_ARGS];

// Converts arg into out (cap bytes, at least 1) and returns the bytes used with the NUL.
// A character the code page cannot hold, or a text that does not fit, is inexact.
int to_ansi(const wchar_t* arg, char* out, int cap, bool* is_exact) {
  // A UTF-8 code page takes no best-fit options, and reports what it cannot write
  // (an unpaired surrogate) as an error.
  bool utf8 = GetACP() == CP_UTF8;
  BOOL used_default = FALSE;
  int n = WideCharToMultiByte(CP_ACP, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, arg, -1,
                              out, cap, nullptr, utf8 ? nullptr : &used_default);
  *is_exact = n > 0 && !used_default;
  if (n > 0) return n;
  out[0] = '\0';
  return 1;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  int count = argc < MAX_ARGS ? argc : MAX_ARGS;  // more is a usage error all the same
  int used = 0;
  for (int i = 0; i < count; ++i) {
    // Room for this argument, keeping one byte for each that follows.
    int room = int(sizeof text) - used - (count - 1 - i);
    args[i] = text + used;
    used += to_ansi(argv[i], args[i], room, &exact[i]);
  }
  return program_main(count, args);
}

bool prim_arg_exact(int i) { return exact[i]; }
