// The platform's MD5 routines, bound at run time from a system library by name.
// One implementation file per platform.
#pragma once

#include <cstdint>

// Loads the library and looks up its MD5 entry points. True when all were found; on
// a partial lookup the library is released again and the call may be repeated.
bool md5_prim_bind(const char* library);

// The platform's default library name(s) for md5_prim_bind, tried in order; the list
// ends with nullptr.
extern const char* const md5_prim_libraries[];

// The 16-byte digest of data[0..length). Only after a successful bind. False when the
// routines refused the work.
bool md5_prim_digest(const unsigned char* data, int32_t length, unsigned char digest[16]);
