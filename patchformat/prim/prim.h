// What the format library needs from the platform: the MD5 routines, bound at run time
// (libcrypto on Linux, the system's cryptdll.dll on Windows). One file per platform
// (unix.cpp, windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// The MD5 library's file names, tried in order; the list ends with nullptr.
extern const char* const prim_md5_libraries[];

// Loads the library and finds its MD5 entry points, all or none: on a partial lookup the
// library is released and a binding already made stays whole.
bool prim_md5_bind(const char* library);

// An MD5 taken in pieces, after a successful bind: a new state (nullptr when refused),
// the pieces in order, and the digest, which frees the state (false when refused).
void* prim_md5_begin();
bool prim_md5_add(void* state, const unsigned char* data, size_t size);
bool prim_md5_end(void* state, unsigned char digest[16]);
