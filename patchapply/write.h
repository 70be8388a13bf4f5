// Writing the result: every check of the output's folder and name in one order, for
// every platform, then the write itself.
#pragma once

#include <cstdint>

#include "file.h"
#include "prim/prim.h"

struct out_request {
  const char* base = nullptr;  // folder the path is relative to; nullptr: the current one
  const char* path = nullptr;
  bool confined = false;    // named by a script: no folder on the way may be a link
  bool force = false;       // an existing file may be replaced
  bool check_only = false;  // every check of the folder and name, but no file is created
  bool in_place = false;    // path is the input itself, replaced by the result
  bool backup = false;      // in place: the old input is kept as path + ".orig"
  file_id input;            // otherwise the output may not be this file
  prim_attrs attrs;         // the input's: kept in place, else a new file takes its bits
};

enum class out_fault {
  none,
  no_folder,
  folder_link,
  folder_denied,  // a folder on the way may not be searched
  not_writable,   // the folder takes no new file
  append_only,    // the folder keeps every name it holds, so no name can be replaced
  name_too_long,
  exists,
  is_input,
  not_regular,
  not_replaceable,  // the folder does not let this process replace the name
  backup_too_long,  // the same four for path + ".orig"
  backup_exists,
  backup_not_regular,
  backup_not_replaceable,
  write
};

// Writes data[0..length) to the output atomically: a file of its own in the output's
// folder, flushed to disk, then put in place (replacing a file only when forced or in
// place). Only a regular file or a symbolic link (the link itself) is ever replaced.
// Whatever would keep the write from ending well is refused before any name is made;
// on a fault while writing nothing is left of it and everything stands as it did.
out_fault write_output(const out_request& out, const unsigned char* data, int32_t length);
