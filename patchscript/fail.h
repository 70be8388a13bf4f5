// How the program ends on any error: one line on standard error, exit status 1.
#pragma once

// Prints the formatted message and a newline on standard error and exits with status 1.
// Standard output is unbuffered, so nothing of the script is written after this.
[[noreturn]] void error_exit(const char* format, ...) __attribute__((format(printf, 1, 2)));
