// Files through POSIX descriptors.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "prim.h"

// Every Unix target of the kit has a 64-bit time_t; a 32-bit one would stop in 2038.
static_assert(sizeof(std::time_t) >= 8, "time_t must hold times after 2038");

namespace {
// Standard output as noted at start: its identity and, when a regular file, where the
// script begins and whether the descriptor appends.
bool output_known;
struct stat output_info;
bool output_file;
bool output_appends;
off_t output_start;
}  // namespace

std::FILE* prim_open_input(const char* path) { return std::fopen(path, "rb"); }

void prim_output_note() {
  // Ignored, SIGXFSZ becomes EFBIG: a failed write, which is cut back and reported.
  std::signal(SIGXFSZ, SIG_IGN);
  output_known = fstat(STDOUT_FILENO, &output_info) == 0;
  output_file = output_known && S_ISREG(output_info.st_mode);
  if (!output_file) return;
  int flags = fcntl(STDOUT_FILENO, F_GETFL);
  off_t at = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  // An appending descriptor writes at the end whatever its position; one placed past the
  // end would leave a hole, which the cut takes back too.
  output_appends = flags != -1 && (flags & O_APPEND) != 0;
  output_start = output_appends || at < 0 || at > output_info.st_size ? output_info.st_size : at;
}

bool prim_output_unknown() { return false; }

bool prim_is_output(std::FILE* file) {
  struct stat info;
  return output_known && fstat(fileno(file), &info) == 0 && info.st_dev == output_info.st_dev &&
         info.st_ino == output_info.st_ino;
}

bool prim_output_trim() {
  // An appending descriptor ends at the end; what follows it there came from elsewhere.
  if (!output_file || output_appends) return true;
  off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  struct stat info;
  if (end < 0 || fstat(STDOUT_FILENO, &info) != 0) return false;
  return info.st_size <= end || ftruncate(STDOUT_FILENO, end) == 0;
}

void prim_output_undo() {
  if (output_file && ftruncate(STDOUT_FILENO, output_start) == 0)
    (void)lseek(STDOUT_FILENO, output_start, SEEK_SET);
}

int64_t prim_clock_now() { return std::time(nullptr); }

bool prim_clock_local(int64_t t, std::tm* out) {
  std::time_t now = t;
  return localtime_r(&now, out) != nullptr;
}

void prim_prefer_large_pages(void* start, size_t size) {
  // madvise wants a page-aligned start; the kernel backs the 2 MiB-aligned stretches
  // inside the range with transparent huge pages.
  size_t misalignment = reinterpret_cast<uintptr_t>(start) & 4095;
  madvise(static_cast<char*>(start) - misalignment, size + misalignment, MADV_HUGEPAGE);
}
