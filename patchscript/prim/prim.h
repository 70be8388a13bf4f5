// What the program needs from the platform: the command line as typed, inputs opened by
// their exact names, a guard on standard output, a clock past 2038 and a memory hint
// (the MD5 routines are the format library's). One file per platform (unix.cpp, windows.cpp);
// the entry point lives apart (main_unix.cpp, main_windows.cpp), so that test binaries
// can link this layer with an entry point of their own.
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

// Notes which file standard output is and where in it the script will begin, and makes
// a file-size limit fail a write instead of ending the process. Call it before any file
// is opened: were standard output closed, an input would take its descriptor.
void prim_output_note();

// True when standard output is a file on disk that cannot be identified, so that it
// might be one of the inputs.
bool prim_output_unknown();

// True when file is standard output as noted, so writing the script would change an input.
bool prim_is_output(std::FILE* file);

// After a complete script: drops what stood in standard output past its end (a longer
// file opened in place, 1<>), so the file holds the script from where it began. False
// when that fails.
bool prim_output_trim();

// After a failed write: cuts standard output, when it is a regular file, back to where
// the script began and moves the write position there, so that a message sent the same
// way follows what stood before. A pipe or a terminal keeps what it was given.
void prim_output_undo();

// Seconds since 1970-01-01 00:00:00 UTC in 64 bits, or -1 when the clock cannot be read.
int64_t prim_clock_now();

// Breaks t down into local time; false when the platform cannot represent it.
bool prim_clock_local(int64_t t, std::tm* out);

// Asks for [start, start+size) to be backed by large pages where no privilege is needed:
// a fresh 32 MiB buffer otherwise costs a page fault per 4 KiB. A hint only.
void prim_prefer_large_pages(void* start, size_t size);
