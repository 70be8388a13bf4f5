// Open files by their system handle: which file one is, so that no program writes into
// one of its own inputs, and writing a whole buffer to one.
#pragma once

#include <cstddef>
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

// A Unix file's identity, by its device and inode.
file_id device_inode(uint64_t device, uint64_t inode);

inline bool known(const file_id& id) { return id.fine || id.coarse; }

// True when a and b are one file, compared in the finer form both have. Two identities
// with no form in common are not the same: an unknown one is for the caller to refuse.
bool same_file(const file_id& a, const file_id& b);

// Writes data[0..size) to the open file (a descriptor on Unix, a HANDLE on Windows), all of
// it, going on after a short write; false on failure.
bool write_all(std::intptr_t handle, const unsigned char* data, size_t size);
