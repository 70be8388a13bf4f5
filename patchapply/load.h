// Reading the input a script names.
#pragma once

#include <cstdint>
#include <string>

#include "file.h"
#include "prim/prim.h"

// Reads the file at path, relative to folder base (nullptr: the current folder), into
// buffer, up to cap bytes. In place, the input is the file written: its path is walked
// as a script's output is, and it may not itself be a symbolic link. On success *length
// is the count read (cap when the file has that many bytes or more), with the file's
// identity and what an in-place result keeps of it.
load_fault load_file(const char* base, const std::string& path, bool in_place,
                     unsigned char* buffer, int32_t cap, int32_t* length, file_id* id,
                     prim_attrs* attrs);
