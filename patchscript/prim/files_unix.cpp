#include <sys/stat.h>
#include <unistd.h>

#include "files.h"

namespace {
// Standard output as noted at start: its identity, and its length when it is a
// regular file.
bool output_known;
struct stat output_info;
}  // namespace

std::FILE* open_input(const char* path) { return std::fopen(path, "rb"); }

void output_note() { output_known = fstat(STDOUT_FILENO, &output_info) == 0; }

bool is_output(std::FILE* file) {
  struct stat info;
  return output_known && fstat(fileno(file), &info) == 0 && info.st_dev == output_info.st_dev &&
         info.st_ino == output_info.st_ino;
}

void output_undo() {
  // An appending stream wrote after the noted length too, so the same cut serves both.
  if (output_known && S_ISREG(output_info.st_mode))
    (void)ftruncate(STDOUT_FILENO, output_info.st_size);
}
