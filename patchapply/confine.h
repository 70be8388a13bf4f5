// Where a script may write: only below the folder it is applied in.
#pragma once

#include <string>

// True for a byte that separates folders in a path: '/', and on Windows '\' too.
bool is_separator(char c, bool windows);

// What keeps a path from a script from being written to.
enum class path_fault { none, absolute, leaves, colon, prefix, device };

// Why a path a script names for writing may not be used: it is absolute or climbs out
// with "..", or by Windows' rules (windows) it has a drive or a stream colon, a UNC or
// device prefix, a device name in any folder (CON, NUL, COM1...), or a ".." disguised by
// trailing dots and spaces, which Windows drops. Folders that are symbolic links are
// refused while writing, where they are walked.
path_fault confine_fault(const std::string& path, bool windows);
