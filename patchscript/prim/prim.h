// What the program needs from the platform: the command line as typed, inputs opened by
// their exact names and a clock past 2038 (the MD5 routines are the format library's,
// standard output and the memory hint the command-line layer's). One file per platform
// (unix.cpp, windows.cpp); the entry point lives apart (main_unix.cpp, main_windows.cpp), so that
// test binaries can link this layer with an entry point of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// The program proper, which the entry point calls with the arguments as narrow text:
// the form the script names files in, and the form prim_open_input takes.
int program_main(int argc, char** argv);

// False when the text of argument i does not stand exactly for what the user typed: it
// would open, and name in the script, some other file.
bool prim_arg_exact(int i);

// Opens path, an argument as text, for reading in binary mode; nullptr when it cannot.
std::FILE* prim_open_input(const char* path);

// Seconds since 1970-01-01 00:00:00 UTC in 64 bits, or -1 when the clock cannot be read.
int64_t prim_clock_now();

// Breaks t down into local time; false when the platform cannot represent it.
bool prim_clock_local(int64_t t, std::tm* out);
