// patchapply [-f] [--check] [-d DIR] [-i [-b] | -o OUTPUT] SCRIPT: applies a patch script
// that patchscript wrote. Everything is verified before anything is written: the
// script's form, the input's fingerprint, that every block fits, and the result's
// fingerprint. Only then is the output written (or the input replaced, with -i), from a
// file of its own moved into place, or to standard output. Every refusal is one line on
// standard error and status 1, with nothing written.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "apply.h"
#include "confine.h"
#include "escape.h"
#include "fail.h"
#include "prim/prim.h"
#include "reader.h"

namespace {

// The input, patched in place into the result: the program's one large buffer.
unsigned char data[APPLY_LIMIT];

// A message as it goes to standard error: what it quotes escaped for a terminal, in the
// platform's text for it.
std::string message(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  std::string text(size_t(n > 0 ? n : 0) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  text.pop_back();
  return prim_message_text(escape_text(text));
}

// Ends the run with one line on standard error, as every refusal does.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = message(format, args);
  va_end(args);
  error_exit("%s", text.c_str());
}

// One line on standard error for a run that succeeds all the same.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = message(format, args);
  va_end(args);
  std::fprintf(stderr, "%s\n", text.c_str());
}

// A path from the script as a message shows it: as native text where it is valid in the
// script's code page, else its bytes, which the escaping then shows as such.
std::string shown(const std::string& script_text) {
  std::string native;
  return prim_script_path(script_text, native) ? native : script_text;
}

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
  switch (confine_fault(native)) {
    case path_fault::none:
      return;
    case path_fault::absolute:
      fail(input ? "input path is absolute: %s" : "output path is absolute: %s", path);
    case path_fault::leaves:
      fail(input ? "input path leaves its folder: %s" : "output path leaves its folder: %s", path);
    case path_fault::colon:
      fail(input ? "input path has a drive or stream colon: %s"
                 : "output path has a drive or stream colon: %s",
           path);
    case path_fault::prefix:
      fail(input ? "input path has a UNC or device prefix: %s"
                 : "output path has a UNC or device prefix: %s",
           path);
    case path_fault::device:
      fail(input ? "input path names a device: %s" : "output path names a device: %s", path);
  }
}

[[noreturn]] void usage(const char* program) {
  fail("usage: %s [-f] [--check] [-d DIR] [-i [-b] | -o OUTPUT] SCRIPT", program);
}

void help(const char* program) {
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
      program);
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
      if (!prim_arg_valid(i)) fail("argument is not valid text: %s", a);
    } else {
      usage(program);  // an unknown or repeated option, or a second script
    }
    if (value != nullptr) {
      if (++i >= argc || argv[i][0] == '\0') usage(program);
      if (!prim_arg_valid(i)) fail("argument is not valid text: %s", argv[i]);
      *value = argv[i];
    }
  }
  // A backup is of the input written in place, which is then the only output.
  if (o.script == nullptr || (o.backup && !o.in_place) || (o.in_place && o.output != nullptr))
    usage(program);
  return o;
}

}  // namespace

int patchapply_main(int argc, char** argv) {
  options o = parse(argc, argv);
  // Checked first: every path in the script is read in it.
  if (o.dir != nullptr && !prim_folder_exists(o.dir)) fail("folder not found: %s", o.dir);

  std::FILE* script = prim_open_script(o.script);
  if (script == nullptr) fail("can't open script: %s", o.script);
  reader r;
  reader_open(r, script);
  script_head head;
  if (!read_head(r, head)) fail("%s", r.fault.c_str());

  // The input, relative to the folder patchscript ran in.
  std::string shown_input = shown(head.old_path);
  const char* in = shown_input.c_str();
  std::string input;
  if (!prim_script_path(head.old_path, input))
    fail("file name is not valid in the ansi code page: %s", in);
  // Written in place, the input is confined as a script's output is: else a hostile
  // script run as root could rewrite any file whose content is known.
  if (o.in_place) confine(input, in, true);
  int32_t length = 0;
  prim_id input_id;
  prim_attrs attrs;
  prim_prefer_large_pages(data, sizeof data);
  switch (
      prim_load(o.dir, input.c_str(), o.in_place, data, APPLY_LIMIT, &length, &input_id, &attrs)) {
    case load_fault::open:
      fail("can't open file: %s", in);
    case load_fault::not_regular:
      fail("input is not a regular file: %s", in);
    case load_fault::folder_link:
      fail("input folder is a symbolic link: %s", in);
    case load_fault::read:
      fail("read failed: %s", in);
    case load_fault::none:
      break;
  }
  if (length == 0) fail("input file is empty: %s", in);
  if (length > APPLY_LIMIT - 1) fail("input file is too large: %s", in);
  bool to_stdout = o.output != nullptr && std::strcmp(o.output, "-") == 0;
  if (to_stdout) {
    switch (prim_stdout_check(input_id)) {
      case stdout_fault::none:
        break;
      case stdout_fault::is_input:
        fail("standard output is the input file: %s", in);
      case stdout_fault::unknown:
        fail("can't identify standard output");
    }
  }

  script_tail tail;
  switch (apply_body(r, head, data, length, tail)) {
    case apply_fault::none:
      break;
    case apply_fault::script:
      fail("%s", r.fault.c_str());
    case apply_fault::md5:
      fail("can't calculate md5");
    case apply_fault::input:
      fail("input md5 mismatch: %s", in);
    case apply_fault::already:
      // In place, running the same patch twice is safe: the second run writes nothing.
      if (!o.in_place) fail("input is already patched: %s", in);
      note("input is already patched: %s", in);
      return 0;
    case apply_fault::output:
      fail("output md5 mismatch");
  }
  if (script != stdin) std::fclose(script);

  // Standard output gets the result only now, with both checks passed.
  if (to_stdout) {
    if (o.check || prim_stdout_write(data, length)) return 0;
    fail("write failed: %s", o.output);
  }

  // The output: as the user named it, or as the script names it, confined below the
  // folder the script is applied in.
  out_request out;
  std::string output;
  std::string named = o.in_place            ? shown_input
                      : o.output != nullptr ? o.output
                                            : shown(tail.new_path);
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
    if (!prim_script_path(tail.new_path, output))
      fail("file name is not valid in the ansi code page: %s", path);
    confine(output, path, false);
    out.base = o.dir;
    out.confined = true;
  }
  out.path = output.c_str();
  out.force = o.force;
  out.check_only = o.check;
  out.input = input_id;
  out.attrs = attrs;
  switch (prim_write(out, data, length)) {
    case out_fault::none:
      return 0;
    case out_fault::no_folder:
      fail("output folder not found: %s", path);
    case out_fault::folder_link:
      fail("output folder is a symbolic link: %s", path);
    case out_fault::not_writable:
      fail("output folder is not writable: %s", path);
    case out_fault::name_too_long:
      fail("output name is too long: %s", path);
    case out_fault::exists:
      fail("output file exists: %s", path);
    case out_fault::is_input:
      fail("output is the input file: %s", path);
    case out_fault::not_regular:
      fail("output is not a regular file: %s", path);
    case out_fault::backup_too_long:
      fail("output name is too long: %s", backup.c_str());
    case out_fault::backup_exists:
      fail("output file exists: %s", backup.c_str());
    case out_fault::backup_not_regular:
      fail("output is not a regular file: %s", backup.c_str());
    case out_fault::write:
      break;
  }
  fail("write failed: %s", path);
}
