// The program's files: opening an input exactly as named. One file per platform.
#pragma once

#include <cstdio>

// Opens path, one of the command line's arguments as text, for reading in binary mode;
// nullptr when it cannot be opened.
std::FILE* open_input(const char* path);
