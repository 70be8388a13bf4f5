#include "out.h"

#include "prim/prim.h"

namespace {
prim_out noted;
int64_t start;  // where the output begins in a regular file
}  // namespace

void out_note() {
  noted = prim_out_probe();
  // A descriptor that appends writes at the end whatever its position; one placed past
  // the end would leave a hole, which a cut back takes back too.
  bool at_end = noted.appends || noted.position < 0 || noted.position > noted.size;
  start = at_end ? noted.size : noted.position;
}

bool out_unknown() { return noted.file && !known(noted.id); }

bool out_is(const file_id& file) { return noted.open && same_file(noted.id, file); }

bool out_write(const unsigned char* data, size_t size) {
  return noted.open && prim_out_write(data, size);
}

bool out_finish() {
  if (!noted.open) return false;
  // An appending descriptor ends at the end; what follows it there came from elsewhere.
  if (!noted.file || noted.appends) return true;
  int64_t end = prim_out_position();
  int64_t size = prim_out_size();
  return end >= 0 && size >= 0 && (size <= end || prim_out_cut(end));
}

void out_undo() {
  if (!noted.file) return;
  int64_t end = prim_out_position();
  if (prim_out_cut(start))
    prim_out_seek(start);
  else if (end >= 0)
    prim_out_seek(end);
}
