// What the command-line layer needs from the platform: readying the process, standard
// output as a file, file identities, messages in the platform's text and a memory hint.
// One file per platform (unix.cpp, windows.cpp); they also define the functions of the
// public headers that are the platform's alone (identify, ansi_to_native,
// prefer_large_pages).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "../file.h"

// Unix: a file-size limit makes a write fail (EFBIG) instead of ending the process, and a
// closed standard stream is opened on /dev/null. Windows: nothing.
void prim_start();

// Standard output as it stands at start.
struct prim_out {
  bool open = false;      // it can be written to (Unix: it was not closed at start)
  bool file = false;      // a regular file, or on Windows a file on disk
  bool appends = false;   // writes land at the end whatever the position
  file_id id;             // its identity, when it has one
  int64_t size = -1;      // a file's length
  int64_t position = -1;  // a file's write position; -1 when unknown
};
prim_out prim_out_probe();

// Standard output's write position and length now; -1 when unknown.
int64_t prim_out_position();
int64_t prim_out_size();

// Sets standard output's length to at; false when refused. Windows moves the write
// position there as it does so.
bool prim_out_cut(int64_t at);

// Moves standard output's write position to at.
void prim_out_seek(int64_t at);

// Writes data[0..size) to standard output as bytes, all of it; false on failure.
bool prim_out_write(const unsigned char* data, size_t size);

// A message, native text, as standard error takes it: the same on Unix; on Windows in
// the ANSI code page, as the scripts name files, with "?" for a character it cannot hold
// (no file name contains one).
std::string prim_message_text(const std::string& text);
