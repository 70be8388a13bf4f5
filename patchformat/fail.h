// How patchscript and patchapply end on any error: one line on standard error, status 1.
#pragma once

// Prints the formatted message and a newline on standard error and exits with status 1.
// patchscript's standard output is unbuffered, so nothing of its script follows this.
[[noreturn]] void error_exit(const char* format, ...) __attribute__((format(printf, 1, 2)));
