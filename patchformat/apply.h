// Applying a script in memory: the input's fingerprint, the change blocks in place, and
// the result's fingerprint, all before anything is written.
#pragma once

#include <cstdint>

#include "reader.h"

enum class apply_fault {
  none,
  script,   // a fault in the script, in r.fault
  md5,      // the MD5 routines are missing
  input,    // the input is not the one the script was made for
  already,  // the input is the result already: it has the output fingerprint
  output    // the result is not the one the script promises
};

// With head read from r: checks data[0..length) against the input fingerprint, applies
// every change block to it in place, reads the tail and checks the result against the
// output fingerprint. On the first fault, data is partly patched and must not be written.
// An input without the input fingerprint is told apart from one already patched by
// reading the rest of the script for the output fingerprint, applying nothing.
apply_fault apply_body(reader& r, const script_head& head, unsigned char* data, int32_t length,
                       script_tail& tail);
