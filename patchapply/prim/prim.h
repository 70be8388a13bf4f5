// What differs per platform: the entry point, opening files by name, file identities and
// the atomic write. One file per platform (unix.cpp, windows.cpp).
//
// Paths are native text: the bytes as given on Linux, UTF-8 on Windows, where the
// command line arrives as UTF-16 and scripts name files in the ANSI code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The program proper (main.cpp), called by the entry point with native arguments.
int patchapply_main(int argc, char** argv);

// False when argument i could not be taken exactly as typed (Windows: an unpaired
// surrogate), so it would name some other file.
bool prim_arg_valid(int i);

// The path a script names, in the script's bytes (the ANSI code page on Windows), as
// native text. False when the bytes are not valid text there.
bool prim_script_path(const std::string& text, std::string& native);

// A message, UTF-8 inside, as standard error takes it: the same on Linux; in the ANSI code
// page on Windows, as patchscript's messages and the scripts' names are, with "?" for a
// character it cannot hold (no file name contains one).
std::string prim_message_text(const std::string& text);

// True for a byte that separates folders in a path.
bool prim_separator(char c);

// What keeps a path from a script from being written to.
enum class path_fault { none, absolute, leaves, colon, prefix, device };

// Why a path from a script may not be written to on this platform beyond what all
// platforms refuse (a drive or stream colon, a UNC or device prefix, a device name on
// Windows).
path_fault prim_path_fault(const std::string& path);

// Asks for large pages behind the input buffer, where the platform gives them without
// privilege: a fresh 32 MiB buffer otherwise costs a page fault per 4 KiB. A hint only.
void prim_prefer_large_pages(void* start, size_t size);

// True when path names a folder that can be opened.
bool prim_folder_exists(const char* path);

// The script at path, or standard input for "-", opened for reading as bytes.
std::FILE* prim_open_script(const char* path);

// Which file a handle is: device and inode; on Windows the volume serial and the 128-bit
// file id, with the times and size where Wine names no volume.
struct prim_id {
  bool known = false;
  uint64_t volume = 0, index = 0, index_high = 0;
  int64_t written = 0, changed = 0, size = 0;
};

// What an in-place write keeps of the input (Linux): its permission bits, set-id and
// sticky bits among them, and its owner and group.
struct prim_attrs {
  unsigned mode = 0644;
  int64_t uid = -1, gid = -1;
};

enum class load_fault { none, open, read, not_regular, folder_link };

// Reads the file at path, relative to folder base (nullptr: the current folder), into
// buffer, up to cap bytes. Anything but a regular file is refused unread: a FIFO or a
// device would block or never end. A confined path (one to be written in place) is
// walked as a script's output is, and may not itself be a symbolic link either. On
// success *length is the count read (cap when the file has that many bytes or more),
// with the file's identity and attributes.
load_fault prim_load(const char* base, const char* path, bool confined, unsigned char* buffer,
                     int32_t cap, int32_t* length, prim_id* id, prim_attrs* attrs);

struct out_request {
  const char* base = nullptr;  // folder the path is relative to; nullptr: the current one
  const char* path = nullptr;
  bool confined = false;    // named by a script: no folder on the way may be a link
  bool force = false;       // an existing file may be replaced
  bool check_only = false;  // every check of the folder and name, but no file is created
  bool in_place = false;    // path is the input itself, replaced by the result
  bool backup = false;      // in place: the old input is kept as path + ".orig"
  prim_id input;            // otherwise the output may not be this file
  prim_attrs attrs;         // the input's: a new file takes its bits less the umask
};

enum class out_fault {
  none,
  no_folder,
  folder_link,
  not_writable,  // the folder takes no new file
  name_too_long,
  exists,
  is_input,
  not_regular,
  backup_too_long,  // the same three for path + ".orig"
  backup_exists,
  backup_not_regular,
  write
};

enum class stdout_fault { none, is_input, unknown };

// Whether standard output may take the result: it is not the input itself (is_input),
// nor, on Windows, a file on disk whose identity cannot be read, which might be it.
stdout_fault prim_stdout_check(const prim_id& input);

// Writes data[0..length) to standard output as bytes. When that fails partway, a
// regular file is cut back to where the result began (as patchscript cuts back its
// script); a pipe or a terminal keeps what it was given. False on failure.
bool prim_stdout_write(const unsigned char* data, int32_t length);

// Writes data[0..length) to the output atomically: a file of its own in the output's
// folder, flushed to disk, then renamed into place (replacing a file only when forced or
// in place). Only a regular file or a symbolic link (the link itself) is ever replaced.
// In place, the backup is made just before the rename. On any fault the temporary file
// is gone and nothing else has changed.
out_fault prim_write(const out_request& out, const unsigned char* data, int32_t length);
