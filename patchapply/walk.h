// The way to a file named by a path: its folders, walked one at a time where the path
// comes from a script.
#pragma once

#include <string>

#include "prim/prim.h"

// Opens the folder of path, relative to folder base (nullptr: the current folder), into
// dir and leaves the file's own name in name. A confined path (one a script names for
// writing) is walked one folder at a time, and none of them may be a symbolic link.
dir_fault walk(const char* base, const std::string& path, bool confined, prim_dir& dir,
               std::string& name);
