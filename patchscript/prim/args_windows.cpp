// The command line on Windows is UTF-16 (wmain: the program links with -municode). The C
// runtime's narrow argv would be a best-fit conversion to the ANSI code page, which can
// name another file than the one typed: fullwidth letters become ASCII ones, a fullwidth
// solidus a folder separator, and under a Cyrillic code page "café" becomes "cafe". Each
// argument is converted here exactly, or marked inexact, so such a name is refused.
// Scripts keep their paths in the ANSI code page, which applying tools on the same
// system read.
#include <windows.h>

#include "args.h"

namespace {
// Windows limits the command line to 32,767 UTF-16 units, so it holds at most half as
// many arguments, and one unit takes at most three bytes in an ANSI code page (UTF-8
// among them). The texts live in static storage, like all of the program's data; a
// longer command line (Wine passes on what it is given) gets inexact, empty texts.
constexpr int LINE_UNITS = 32768;
constexpr int MAX_ARGS = LINE_UNITS / 2 + 1;
char text[4 * LINE_UNITS];
char* args[MAX_ARGS + 1];
bool exact[MAX_ARGS];

// Converts arg into out (cap bytes, at least 1) and returns the bytes used with the
// NUL. A character without an exact equivalent in the code page makes the result
// inexact; so does a text that does not fit, which is left empty.
int to_ansi(const wchar_t* arg, char* out, int cap, bool* is_exact) {
  // UTF-8 as the ANSI code page takes no best-fit or default-character options: it
  // reports a character it cannot write (an unpaired surrogate) as an error instead.
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
  return patchscript_main(count, args);
}

bool arg_is_exact(int i) { return exact[i]; }
