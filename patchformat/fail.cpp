#include "fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void error_exit(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::exit(1);
}
