// A seam into the fingerprint module for tests; the program itself never calls it.
#pragma once

// Binds the library of this file name instead of the platform's own from the next
// binding attempt on (nullptr restores the default). A binding already made is kept.
void md5_use_library(const char* name);
