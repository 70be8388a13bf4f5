// Where a script may write: only below the folder it is applied in.
#pragma once

#include <string>

// Why the output path a script names may not be used, or nullptr: it is absolute, it
// climbs out with "..", or (on Windows) it has a drive, a UNC or device prefix, a
// stream colon or a device name. Folders that are symbolic links are refused while
// writing, where they are walked.
const char* confine_fault(const std::string& path);
