// The program's files: opening an input exactly as named, and guarding standard output.
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

// Cuts standard output back to its noted length when it is a regular file, so that a
// failed run leaves no partial script there. Best effort: a pipe or a terminal keeps
// what it was given.
void output_undo();
