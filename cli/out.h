// Standard output as a file. The rule both programs follow: the output replaces what
// stood in a regular file from where the output begins (the descriptor's position, or
// the file's end when the descriptor appends, stands past the end, or, on Windows, where
// a handle does not tell where its writes land); after success the file ends where the
// output ends, and after a failure it is cut back to where the output began, so no
// partial output is left. A pipe or a terminal keeps what it was given.
#pragma once

#include <cstddef>

#include "file.h"

// Notes which file standard output is and where the output will begin (program_start
// calls it, before any file is opened).
void out_note();

// True when standard output is a file on disk that cannot be identified, so that it might
// be an input.
bool out_unknown();

// True when the file with this identity is standard output, so that writing the output
// would change it.
bool out_is(const file_id& file);

// Writes data[0..size) to standard output as bytes; false on failure. A closed standard
// output fails.
bool out_write(const unsigned char* data, size_t size);

// After the whole output was written: drops what stood in the file past its end, so that
// the file ends with the output. False when standard output was closed at start or the
// file could not be shortened.
bool out_finish();

// After a failed write: cuts a regular file back to where the output began and puts the
// write position there, so that a message sent the same way follows what stood before.
// When it cannot be cut, the position stays at the end of what was written, and a message
// follows the partial output rather than overwriting its start.
void out_undo();
