// Which file an open file is, so that no program writes into one of its own inputs.
#pragma once

#include <cstdint>
#include <cstdio>

// A file's identity as the system gives it, in up to two forms. The fine one: device and
// inode on Unix; on Windows the volume's 64-bit serial and the 128-bit file id (Windows 8
// and Wine). The coarse one, Windows only: the 32-bit serial and the 64-bit file index,
// which older systems give. Wine names no volume behind a handle it inherited from a Unix
// shell (serial 0, and only the fine form): then times and size must match too.
struct file_id {
  bool fine = false;
  uint64_t volume = 0, file[2] = {};
  bool coarse = false;
  uint64_t coarse_volume = 0, index = 0;
  int64_t written = 0, changed = 0, size = 0;
};

// The identity of an open file: a descriptor on Unix, a HANDLE on Windows; neither form
// when the system gives none.
file_id identify(std::intptr_t handle);
file_id identify(std::FILE* file);

inline bool known(const file_id& id) { return id.fine || id.coarse; }

// True when a and b are one file, compared in the finer form both have. Two identities
// with no form in common are not the same: an unknown one is for the caller to refuse.
bool same_file(const file_id& a, const file_id& b);
