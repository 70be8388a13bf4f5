// MD5 fingerprint of a whole buffer, as text.
#pragma once

#include <cstdint>

// Writes the MD5 of data[0..length) into text as 32 lowercase hex digits and a NUL
// (33 bytes). Returns 0, or -1 with text untouched when the platform's MD5 routines are
// unavailable. The routines are bound on the first successful call and kept.
int md5_hex(const unsigned char* data, int32_t length, char* text);
