#include "file.h"

namespace {
bool match(uint64_t volume_a, uint64_t volume_b, const file_id& a, const file_id& b) {
  if (volume_a != 0 && volume_b != 0) return volume_a == volume_b;
  return a.written == b.written && a.changed == b.changed && a.size == b.size;
}
}  // namespace

file_id device_inode(uint64_t device, uint64_t inode) {
  file_id id;
  id.fine = true;
  id.volume = device;
  id.file[0] = inode;
  return id;
}

bool same_file(const file_id& a, const file_id& b) {
  if (a.fine && b.fine)
    return a.file[0] == b.file[0] && a.file[1] == b.file[1] && match(a.volume, b.volume, a, b);
  if (a.coarse && b.coarse)
    return a.index == b.index && match(a.coarse_volume, b.coarse_volume, a, b);
  return false;
}
