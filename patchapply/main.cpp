// patchapply [-f] [--check] [-d DIR] [-i [-b] | -o OUTPUT] SCRIPT: applies a patch script
// that patchscript wrote. Everything is verified before anything is written: the
// script's form, the input's fingerprint, that every block fits, and the result's
// fingerprint. Only then is the output written (or the input replaced, with -i), from a
// file of its own moved into place, or to standard output. Every refusal is one line on
// standard error and status 1, with nothing written.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "apply.h"
#include "buffer.h"
#include "confine.h"
#include "load.h"
#include "out.h"
#include "prim/prim.h"
#include "program.h"
#include "reader.h"
#include "text.h"
#include "write.h"

namespace {

// The input, patched in place into the result: the program's one large buffer.
unsigned char data[INPUT_LIMIT];

struct options {
  bool force = false, check = false, in_place = false, backup = false;
  const char* dir = nullptr;
  const char* output = nullptr;
  const char* script = nullptr;
};

// Refuses a path from the script, native, that would write outside the folder it is
// applied in: the output's, or the input's when it is written in place. path is as
// messages show it.
void confine(const std::string& native, const char* path, bool input) {
  switch (confine_fault(native, prim_windows_paths())) {
    case path_fault::none:
      return;
    case path_fault::absolute:
      error_exit(input ? "input path is absolute: %s" : "output path is absolute: %s", path);
    case path_fault::leaves:
      error_exit(input ? "input path leaves its folder: %s" : "output path leaves its folder: %s",
                 path);
    case path_fault::colon:
      error_exit(input ? "input path has a drive or stream colon: %s"
                       : "output path has a drive or stream colon: %s",
                 path);
    case path_fault::prefix:
      error_exit(input ? "input path has a UNC or device prefix: %s"
                       : "output path has a UNC or device prefix: %s",
                 path);
    case path_fault::device:
      error_exit(input ? "input path names a device: %s" : "output path names a device: %s", path);
  }
}

[[noreturn]] void usage() {
  error_exit("usage: %s [-f] [--check] [-d DIR] [-i [-b] | -o OUTPUT] SCRIPT", program_name());
}

void help() {
  std::printf(
      "usage: %s [-f] [--check] [-d DIR] [-i [-b] | -o OUTPUT] SCRIPT\n"
      "Applies a patch script written by patchscript. The input named on its \"<\" line\n"
      "and the result must have the script's MD5 fingerprints; only then is the result\n"
      "written to the script's \">\" path, through a temporary file renamed into place.\n"
      "\n"
      "  SCRIPT       the script file, or - for standard input\n"
      "  -d DIR       the folder patchscript ran in: the script's paths are read in it\n"
      "  -i           write the result over the input itself\n"
      "  -b           with -i: keep the old input as INPUT.orig\n"
      "  -o OUTPUT    write the result to OUTPUT instead of the script's \">\" path;\n"
      "               - for standard output\n"
      "  -f           replace an existing output file (with -i -b: INPUT.orig)\n"
      "  --check      verify everything, write nothing\n"
      "  --help       this text\n"
      "  --version    the version\n"
      "\n"
      "Exit status is 0 on success, 1 on any refusal (one line on standard error).\n",
      program_name());
}

options parse(int argc, char** argv) {
  options o;
  bool only_operands = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char** value = nullptr;
    if (!only_operands && std::strcmp(a, "--help") == 0) {
      help();
      std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
    } else if (!only_operands && std::strcmp(a, "--version") == 0) {
      std::printf("patchapply %s\n", PATCHAPPLY_VERSION);
      std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
    } else if (!only_operands && std::strcmp(a, "--") == 0) {
      only_operands = true;
    } else if (!only_operands && std::strcmp(a, "-f") == 0 && !o.force) {
      o.force = true;
    } else if (!only_operands && std::strcmp(a, "-i") == 0 && !o.in_place) {
      o.in_place = true;
    } else if (!only_operands && std::strcmp(a, "-b") == 0 && !o.backup) {
      o.backup = true;
    } else if (!only_operands && std::strcmp(a, "--check") == 0 && !o.check) {
      o.check = true;
    } else if (!only_operands && std::strcmp(a, "-d") == 0 && o.dir == nullptr) {
      value = &o.dir;
    } else if (!only_operands && std::strcmp(a, "-o") == 0 && o.output == nullptr) {
      value = &o.output;
    } else if ((only_operands || a[0] != '-' || a[1] == '\0') && o.script == nullptr) {
      o.script = a;
      if (!prim_arg_valid(i)) error_exit("argument is not valid text: %s", a);
    } else {
      usage();  // an unknown or repeated option, or a second script
    }
    if (value != nullptr) {
      if (++i >= argc || argv[i][0] == '\0') usage();
      if (!prim_arg_valid(i)) error_exit("argument is not valid text: %s", argv[i]);
      *value = argv[i];
    }
  }
  // A backup is of the input written in place, which is then the only output.
  if (o.script == nullptr || (o.backup && !o.in_place) || (o.in_place && o.output != nullptr))
    usage();
  return o;
}

}  // namespace

int patchapply_main(int argc, char** argv) {
  program_start(argc > 0 ? argv[0] : nullptr, "patchapply");
  options o = parse(argc, argv);
  // Checked first: every path in the script is read in it.
  if (o.dir != nullptr) {
    prim_dir dir;
    switch (prim_dir_open(o.dir, dir)) {
      case dir_fault::none:
        break;
      case dir_fault::denied:
        error_exit("folder access denied: %s", o.dir);
      default:
        error_exit("folder not found: %s", o.dir);
    }
  }

  std::FILE* script = prim_open_script(o.script);
  if (script == nullptr) error_exit("can't open script: %s", o.script);
  reader r;
  reader_open(r, script);
  script_head head;
  if (!read_head(r, head)) error_exit("%s", r.fault.c_str());

  // The input, relative to the folder patchscript ran in.
  std::string shown_input = ansi_shown(head.old_path);
  const char* in = shown_input.c_str();
  std::string input;
  if (!ansi_to_native(head.old_path, input))
    error_exit("file name is not valid in the ansi code page: %s", in);
  // Written in place, the input is confined as a script's output is: else a hostile
  // script run as root could rewrite any file whose content is known.
  if (o.in_place) confine(input, in, true);
  int32_t length = 0;
  file_id input_id;
  prim_attrs attrs;
  prefer_large_pages(data, sizeof data);
  switch (load_file(o.dir, input, o.in_place, data, INPUT_LIMIT, &length, &input_id, &attrs)) {
    case load_fault::open:
      error_exit("can't open file: %s", in);
    case load_fault::not_regular:
      error_exit("input is not a regular file: %s", in);
    case load_fault::folder_link:
      error_exit("input folder is a symbolic link: %s", in);
    case load_fault::read:
      error_exit("read failed: %s", in);
    case load_fault::none:
      break;
  }
  if (length == 0) error_exit("input file is empty: %s", in);
  if (length > INPUT_LIMIT - 1) error_exit("input file is too large: %s", in);
  bool to_stdout = o.output != nullptr && std::strcmp(o.output, "-") == 0;
  if (to_stdout && out_is(input_id)) error_exit("standard output is the input file: %s", in);
  if (to_stdout && out_unknown()) error_exit("can't identify standard output");

  script_tail tail;
  switch (apply_body(r, head, data, length, tail)) {
    case apply_fault::none:
      break;
    case apply_fault::script:
      error_exit("%s", r.fault.c_str());
    case apply_fault::md5:
      error_exit("can't calculate md5");
    case apply_fault::input:
      error_exit("input md5 mismatch: %s", in);
    case apply_fault::already:
      // In place, running the same patch twice is safe: the second run writes nothing.
      if (!o.in_place) error_exit("input is already patched: %s", in);
      note("input is already patched: %s", in);
      return 0;
    case apply_fault::output:
      error_exit("output md5 mismatch");
  }
  if (script != stdin) std::fclose(script);

  // Standard output gets the result only now, with both checks passed.
  if (to_stdout) {
    if (o.check || (out_write(data, size_t(length)) && out_finish())) return 0;
    out_undo();
    error_exit("write failed: %s", o.output);
  }

  // The output: as the user named it, or as the script names it, confined below the
  // folder the script is applied in.
  out_request out;
  std::string output;
  std::string named = o.in_place            ? shown_input
                      : o.output != nullptr ? o.output
                                            : ansi_shown(tail.new_path);
  const char* path = named.c_str();
  std::string backup = named + ".orig";
  if (o.in_place) {
    output = input;
    out.base = o.dir;
    out.confined = out.in_place = true;
    out.backup = o.backup;
  } else if (o.output != nullptr) {
    output = o.output;
  } else {
    if (!ansi_to_native(tail.new_path, output))
      error_exit("file name is not valid in the ansi code page: %s", path);
    confine(output, path, false);
    out.base = o.dir;
    out.confined = true;
  }
  out.path = output.c_str();
  out.force = o.force;
  out.check_only = o.check;
  out.input = input_id;
  out.attrs = attrs;
  switch (write_output(out, data, length)) {
    case out_fault::none:
      return 0;
    case out_fault::no_folder:
      error_exit("output folder not found: %s", path);
    case out_fault::folder_link:
      error_exit("output folder is a symbolic link: %s", path);
    case out_fault::folder_denied:
      error_exit("output folder access denied: %s", path);
    case out_fault::not_writable:
      error_exit("output folder is not writable: %s", path);
    case out_fault::name_too_long:
      error_exit("output name is too long: %s", path);
    case out_fault::exists:
      error_exit("output file exists: %s", path);
    case out_fault::is_input:
      error_exit("output is the input file: %s", path);
    case out_fault::not_regular:
      error_exit("output is not a regular file: %s", path);
    case out_fault::append_only:
      error_exit("output folder is append-only: %s", path);
    case out_fault::not_replaceable:
      error_exit("output can't be replaced in its folder: %s", path);
    case out_fault::backup_too_long:
      error_exit("output name is too long: %s", backup.c_str());
    case out_fault::backup_exists:
      error_exit("output file exists: %s", backup.c_str());
    case out_fault::backup_not_regular:
      error_exit("output is not a regular file: %s", backup.c_str());
    case out_fault::backup_not_replaceable:
      error_exit("output can't be replaced in its folder: %s", backup.c_str());
    case out_fault::write:
      break;
  }
  error_exit("write failed: %s", path);
}
