#include <sys/stat.h>
#include <unistd.h>

#include "files.h"

namespace {
// Standard output as noted at start.
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
