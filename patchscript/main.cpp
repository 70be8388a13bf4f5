// patchscript OLD NEW: prints a patch script that turns OLD into NEW, two files of the
// same length. A refusal ends with one line on standard error and status 1 before
// anything reaches standard output; so does a failed write, after a regular file is cut
// back to where the script began.
#include <cstdio>
#include <cstring>

#include "input.h"
#include "md5.h"
#include "out.h"
#include "prim/prim.h"
#include "program.h"
#include "script.h"
#include "stamp.h"
#include "text.h"

namespace {
// All of the program's data is static: two fixed input buffers and the texts.
unsigned char old_data[INPUT_LIMIT];
unsigned char new_data[INPUT_LIMIT];
char old_md5[33];
char new_md5[33];
char stamp[4096];

// A CR or LF in a path would start a new line in the script, and a forged ">" line
// makes the applying tool write some other file.
bool has_line_break(const char* path) { return std::strpbrk(path, "\r\n") != nullptr; }
}  // namespace

int program_main(int argc, char** argv) {
  // The writer stages its text itself. Unbuffered, the stream holds nothing back that
  // the exit of a failed run could still write after the output was cut back.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  program_start(argc > 0 && argv[0] != nullptr ? ansi_shown(argv[0]).c_str() : nullptr,
                "patchscript");

  if (argc != 3) error_exit("usage: %s [old_file] [new_file]", program_name());
  const char* old_path = argv[1];
  const char* new_path = argv[2];
  if (has_line_break(old_path) || has_line_break(new_path))
    error_exit("file name contains a line break");
  if (!prim_arg_exact(1) || !prim_arg_exact(2))
    error_exit("file name has a character outside the ansi code page");

  if (out_unknown()) error_exit("can't identify standard output");

  // The old file is loaded first, so when both are unreadable the message names it.
  int32_t old_length = load_input(old_data, old_path);
  int32_t new_length = load_input(new_data, new_path);

  if (md5_hex(old_data, old_length, old_md5) < 0) error_exit("can't calculate md5");
  if (md5_hex(new_data, new_length, new_md5) < 0) error_exit("can't calculate md5");
  if (old_length != new_length) error_exit("file length mismatch");
  if (std::memcmp(old_data, new_data, size_t(old_length)) == 0) error_exit("file content is same");

  make_stamp(prim_clock_now(), stamp, sizeof stamp);
  write_patch_script(stdout, old_path, new_path, old_data, new_data, old_length, old_md5, new_md5,
                     stamp);

  // A full disk or a closed stream must not pass for a written script, nor leave part
  // of one behind in a file.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) || !out_finish()) {
    out_undo();
    error_exit("write failed");
  }
  return 0;
}
