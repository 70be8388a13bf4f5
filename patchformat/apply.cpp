#include "apply.h"

#include <cstring>

#include "md5.h"

apply_fault apply_body(reader& r, const script_head& head, unsigned char* data, int32_t length,
                       script_tail& tail) {
  char md5[33];
  if (md5_hex(data, length, md5) != 0) return apply_fault::md5;
  r.length = length;
  script_values v;
  // A wrong input, or one that was already patched, is turned away before any block.
  if (std::string(md5) != head.old_md5) {
    while (read_values(r, v)) {
    }
    bool patched = r.fault.empty() && read_tail(r, tail) && std::string(md5) == tail.new_md5;
    return patched ? apply_fault::already : apply_fault::input;
  }
  while (read_values(r, v)) {
    unsigned char* at = data + v.offset;
    // Runs hold changed bytes only, and the input is the one the script was made for.
    bool equal = false;
    for (int k = 0; k < v.count; ++k) equal |= at[k] == v.bytes[k];
    if (equal) return reader_fail(r, "value equals the byte it replaces"), apply_fault::script;
    std::memcpy(at, v.bytes, size_t(v.count));
  }
  if (!r.fault.empty() || !read_tail(r, tail)) return apply_fault::script;

  if (md5_hex(data, length, md5) != 0) return apply_fault::md5;
  return std::string(md5) == tail.new_md5 ? apply_fault::none : apply_fault::output;
}
