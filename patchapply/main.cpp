// patchapply [-f] [--check] [-d DIR] [-o OUTPUT] SCRIPT: applies a patch script that
// patchscript wrote. Everything is verified before anything is written: the script's
// form, the input's fingerprint, that every block fits, and the result's fingerprint.
// Only then is the output written, to a temporary file renamed into place. Every refusal
// is one line on standard error and status 1, with nothing written.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "apply.h"
#include "confine.h"
#include "fail.h"
#include "prim/prim.h"
#include "reader.h"

namespace {

// The input, patched in place into the result: the program's one large buffer.
unsigned char data[APPLY_LIMIT];

const char* const usage_text = "[-f] [--check] [-d DIR] [-o OUTPUT] SCRIPT";

struct options {
  bool force = false, check = false;
  const char* dir = nullptr;
  const char* output = nullptr;
  const char* script = nullptr;
};

[[noreturn]] void usage(const char* program) { error_exit("usage: %s %s", program, usage_text); }

void help(const char* program) {
  std::printf(
      "usage: %s %s\n"
      "Applies a patch script written by patchscript. The input named on its \"<\" line\n"
      "and the result must have the script's MD5 fingerprints; only then is the result\n"
      "written to the script's \">\" path, through a temporary file renamed into place.\n"
      "\n"
      "  SCRIPT       the script file, or - for standard input\n"
      "  -d DIR       the folder patchscript ran in: the script's paths are read in it\n"
      "  -o OUTPUT    write the result to OUTPUT instead of the script's \">\" path\n"
      "  -f           replace an existing output file\n"
      "  --check      verify everything, write nothing\n"
      "  --help       this text\n"
      "  --version    the version\n"
      "\n"
      "Exit status is 0 on success, 1 on any refusal (one line on standard error).\n",
      program, usage_text);
}

options parse(int argc, char** argv) {
  const char* program =
      argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "patchapply";
  options o;
  bool only_operands = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char** value = nullptr;
    if (!only_operands && std::strcmp(a, "--help") == 0) {
      help(program);
      std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
    } else if (!only_operands && std::strcmp(a, "--version") == 0) {
      std::printf("patchapply %s\n", PATCHAPPLY_VERSION);
      std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
    } else if (!only_operands && std::strcmp(a, "--") == 0) {
      only_operands = true;
    } else if (!only_operands && std::strcmp(a, "-f") == 0 && !o.force) {
      o.force = true;
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
      usage(program);  // an unknown or repeated option, or a second script
    }
    if (value != nullptr) {
      if (++i >= argc || argv[i][0] == '\0') usage(program);
      if (!prim_arg_valid(i)) error_exit("argument is not valid text: %s", argv[i]);
      *value = argv[i];
    }
  }
  if (o.script == nullptr) usage(program);
  return o;
}

}  // namespace

int patchapply_main(int argc, char** argv) {
  options o = parse(argc, argv);
  // Checked first: every path in the script is read in it.
  if (o.dir != nullptr && !prim_folder_exists(o.dir)) error_exit("folder not found: %s", o.dir);

  std::FILE* script = prim_open_script(o.script);
  if (script == nullptr) error_exit("can't open script: %s", o.script);
  reader r;
  reader_open(r, script);
  script_head head;
  if (!read_head(r, head)) error_exit("%s", r.fault.c_str());

  // The input, relative to the folder patchscript ran in.
  std::string input;
  if (!prim_script_path(head.old_path, input))
    error_exit("file name is not valid in the ansi code page: %s", head.old_path.c_str());
  int32_t length = 0;
  prim_id input_id;
  unsigned mode = 0644;
  prim_prefer_large_pages(data, sizeof data);
  switch (prim_load(o.dir, input.c_str(), data, APPLY_LIMIT, &length, &input_id, &mode)) {
    case load_fault::open:
      error_exit("can't open file: %s", head.old_path.c_str());
    case load_fault::not_regular:
      error_exit("input is not a regular file: %s", head.old_path.c_str());
    case load_fault::read:
      error_exit("read failed: %s", head.old_path.c_str());
    case load_fault::none:
      break;
  }
  if (length == 0) error_exit("input file is empty: %s", head.old_path.c_str());
  if (length > APPLY_LIMIT - 1) error_exit("input file is too large: %s", head.old_path.c_str());

  script_tail tail;
  if (!apply_body(r, head, data, length, tail)) error_exit("%s", r.fault.c_str());
  if (script != stdin) std::fclose(script);

  // The output: as the user named it, or as the script names it, confined below the
  // folder the script is applied in.
  out_request out;
  std::string output;
  const char* shown = o.output;
  if (o.output != nullptr) {
    output = o.output;
  } else {
    shown = tail.new_path.c_str();
    if (!prim_script_path(tail.new_path, output))
      error_exit("file name is not valid in the ansi code page: %s", shown);
    if (const char* fault = confine_fault(output)) error_exit("%s: %s", fault, shown);
    out.base = o.dir;
    out.confined = true;
  }
  out.path = output.c_str();
  out.force = o.force;
  out.check_only = o.check;
  out.input = input_id;
  out.mode = mode;
  switch (prim_write(out, data, length)) {
    case out_fault::none:
      return 0;
    case out_fault::no_folder:
      error_exit("output folder not found: %s", shown);
    case out_fault::folder_link:
      error_exit("output folder is a symbolic link: %s", shown);
    case out_fault::not_writable:
      error_exit("output folder is not writable: %s", shown);
    case out_fault::name_too_long:
      error_exit("output name is too long: %s", shown);
    case out_fault::exists:
      error_exit("output file exists: %s", shown);
    case out_fault::is_input:
      error_exit("output is the input file: %s", shown);
    case out_fault::not_regular:
      error_exit("output is not a regular file: %s", shown);
    case out_fault::write:
      break;
  }
  error_exit("write failed: %s", shown);
}
