// Seams into the fingerprint module and the applier for tests; the program itself never
// uses them.
#pragma once

#include <cstdint>

// Binds the library of this file name instead of the platform's own from the next
// binding attempt on (nullptr restores the default). A binding already made is kept.
void md5_use_library(const char* name);

// Inputs of at least this many bytes are hashed on a second thread while the script is
// read (0: every input, as the tests that compare the two ways set it).
extern int32_t apply_thread_from;
