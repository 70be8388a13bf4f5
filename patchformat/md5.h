// MD5 fingerprint of a whole buffer, as text.
#pragma once

#include <cstdint>

// Writes the MD5 of data[0..length) into text as 32 lowercase hex digits and a NUL
// (33 bytes). Returns 0, or -1 with text untouched when the platform's MD5 routines are
// unavailable. The routines are bound on the first successful call and kept.
int md5_hex(const unsigned char* data, int32_t length, char* text);

// An MD5 taken in pieces, so that hashing can go on beside other work.
class md5_pieces {
 public:
  md5_pieces() = default;
  md5_pieces(const md5_pieces&) = delete;
  md5_pieces& operator=(const md5_pieces&) = delete;
  ~md5_pieces();
  // Binds the routines as md5_hex does and starts; false when they are unavailable.
  bool begin();
  void add(const unsigned char* data, int32_t length);
  // Writes the digest as md5_hex does; false, with text untouched, when any step was
  // refused. Ends the state either way.
  bool end(char* text);

 private:
  void* state_ = nullptr;
  bool ok_ = true;
};
