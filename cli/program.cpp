#include "program.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "out.h"
#include "prim/prim.h"
#include "text.h"

namespace {
std::string name;

// Writes the line to standard error: what it quotes escaped, in the platform's text.
void say(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  std::string text(size_t(n > 0 ? n : 0) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  text.pop_back();
  std::fprintf(stderr, "%s\n", prim_message_text(escape_text(text)).c_str());
}
}  // namespace

void program_start(const char* argv0, const char* own) {
  name = argv0 != nullptr && argv0[0] != '\0' ? argv0 : own;
  prim_start();
  out_note();
}

const char* program_name() { return name.c_str(); }

void error_exit(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say(format, args);
  va_end(args);
  std::exit(1);
}

void note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say(format, args);
  va_end(args);
}
