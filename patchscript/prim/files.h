// The program's files: opening an input exactly as named, and keeping standard output
// off the inputs.
// One file per platform.
#pragma once

#include <cstdio>

// Opens path, one of the command line's arguments as text, for reading in binary mode;
// nullptr when it cannot be opened.
std::FILE* open_input(const char* path);

// Notes which file standard output is and, for a regular file, its length. Call it
// before any file is opened: were standard output closed, an input would take its
// descriptor and pass for it.
void output_note();

// True when file is the file standard output was when noted, so that writing the
// script would change an input.
bool is_output(std::FILE* file);
