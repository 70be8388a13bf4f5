// Where a script may write: only below the folder it is applied in.
#pragma once

#include <string>

#include "prim/prim.h"

// Why a path a script names for writing may not be used: it is absolute, it climbs out
// with "..", or (on Windows) it has a drive, a UNC or device prefix, a stream colon or a
// device name. Folders that are symbolic links are refused while writing, where they
// are walked.
path_fault confine_fault(const std::string& path);
