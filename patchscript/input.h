// Loading an input file whole into one of the two fixed buffers.
#pragma once

#include <cstdint>

#include "buffer.h"

// Reads the file at path into buffer (INPUT_LIMIT bytes) and returns its length, at
// least 1. Ends the program through error_exit when the file cannot be opened or read,
// is empty, does not fit, or is standard output itself.
int32_t load_input(unsigned char* buffer, const char* path);
