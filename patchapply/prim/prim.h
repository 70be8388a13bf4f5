// What differs per platform, as system calls: the entry point, folders and their
// entries, reading the input and putting the written result in place. One file per
// platform (unix.cpp, windows.cpp); the order of the checks is the portable code's
// (load.cpp, write.cpp).
//
// Paths are native text: the bytes as given on Linux, UTF-8 on Windows, where the
// command line arrives as UTF-16 and scripts name files in the ANSI code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "file.h"

// The program proper (main.cpp), called by the entry point with native arguments.
int patchapply_main(int argc, char** argv);

// False when argument i could not be taken exactly as typed (Windows: an unpaired
// surrogate), so it would name some other file.
bool prim_arg_valid(int i);

// True where paths follow Windows' rules: either slash separates folders, and drives,
// streams, UNC and device prefixes and device names mean something (confine.h).
bool prim_windows_paths();

// The script at path, or standard input for "-", opened for reading as bytes.
std::FILE* prim_open_script(const char* path);

// A folder on the way to a file: open without reading it (Linux: an O_PATH descriptor,
// which needs search permission only), or on Windows its name, ending in a separator
// (empty for the current folder).
struct prim_dir {
  int fd = -1;
  std::wstring path;
  prim_dir() = default;
  prim_dir(const prim_dir&) = delete;
  prim_dir& operator=(const prim_dir&) = delete;
  ~prim_dir();
};

enum class dir_fault { none, missing, link, denied };

// Opens base (nullptr: the current folder) into dir.
dir_fault prim_dir_open(const char* base, prim_dir& dir);

// Moves dir into its folder part, which may hold several folders and end in a
// separator; absolute, it stands for itself. Unless follow, part is one folder and may
// not be a symbolic link (or a junction).
dir_fault prim_dir_enter(prim_dir& dir, const std::string& part, bool follow);

// A folder entry.
struct prim_entry {
  bool exists = false;  // there is an entry of this name, even a link that leads nowhere
  bool other = false;   // it is neither a file nor a link: a folder, a FIFO, a device
  bool link = false;    // it is a symbolic link (or a reparse point)
  file_id id;           // the file it is or leads to
};
prim_entry prim_entry_of(const prim_dir& dir, const std::string& name);

// True when the folder's file system takes a name this long.
bool prim_name_fits(const prim_dir& dir, const std::string& name);

// True when the folder lets a file be added to it: permission to write and search it, and
// a file system that takes writes.
bool prim_dir_writable(const prim_dir& dir);

// True when the folder lets entries be added but never removed or renamed (Linux's
// append-only attribute, chattr +a).
bool prim_dir_append_only(const prim_dir& dir);

// True when a file can be made in the folder without a name and named once complete
// (Linux's O_TMPFILE, named through /proc).
bool prim_dir_unnamed(const prim_dir& dir);

// True when the folder lets this process remove or rename away its entry name: not
// another user's in a folder with the sticky bit, and not itself append-only or immutable.
bool prim_may_replace(const prim_dir& dir, const std::string& name);

// What an in-place write keeps of the input (Linux): its permission bits, set-id and
// sticky bits among them, its owner and group, and its extended attributes other than
// file capabilities, ACLs among them.
struct prim_attrs {
  unsigned mode = 0644;
  int64_t uid = -1, gid = -1;
  std::vector<std::pair<std::string, std::string>> xattrs;
};

enum class load_fault { none, open, read, not_regular, folder_link };

// Reads name in dir into buffer, up to cap bytes. Anything but a regular file is refused
// unread: a FIFO or a device would block or never end. In place (the file is then
// written) it may not be a symbolic link. On success *length is the count read (cap when
// the file has that many bytes or more), with the file's identity and, in place, what the
// result keeps of it.
load_fault prim_read(const prim_dir& dir, const std::string& name, bool in_place,
                     unsigned char* buffer, int32_t cap, int32_t* length, file_id* id,
                     prim_attrs* attrs);

enum class commit_fault { none, not_writable, exists, backup_exists, write };

// Writes data[0..length) into a file of its own in dir, flushed to disk, and puts it in
// place under name. In place, name is the input, which the result replaces keeping its
// attributes, and when backup is not empty the old input is kept under that name.
// Otherwise the result takes a new name, or with force replaces what stands there. An
// existing backup, or a file that appeared since the checks, is replaced only with force.
// On any fault nothing is left of the write and everything stands as it did.
commit_fault prim_commit(const prim_dir& dir, const std::string& name, const std::string& backup,
                         bool force, bool in_place, const prim_attrs& attrs,
                         const unsigned char* data, int32_t length);
