// Unix: standard output through descriptor 1, names as bytes.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "../buffer.h"
#include "../text.h"
#include "prim.h"

namespace {
// Standard output was closed at start: it now leads to /dev/null.
bool out_closed;
}  // namespace

void prim_start() {
  // Ignored, SIGXFSZ becomes EFBIG: a failed write, which is cleaned up and reported.
  std::signal(SIGXFSZ, SIG_IGN);
  // A closed standard stream would go to the next file opened, an input, and the output
  // or a message with it.
  out_closed = fcntl(STDOUT_FILENO, F_GETFD) < 0;
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
      std::_Exit(1);
}

prim_out prim_out_probe() {
  prim_out out;
  struct stat st;
  out.open = !out_closed;
  if (out_closed || fstat(STDOUT_FILENO, &st) != 0) return out;
  out.id = device_inode(st.st_dev, st.st_ino);
  out.file = S_ISREG(st.st_mode);
  if (!out.file) return out;
  int flags = fcntl(STDOUT_FILENO, F_GETFL);
  out.appends = flags != -1 && (flags & O_APPEND) != 0;
  out.size = int64_t(st.st_size);
  out.position = int64_t(lseek(STDOUT_FILENO, 0, SEEK_CUR));
  return out;
}

int64_t prim_out_position() { return int64_t(lseek(STDOUT_FILENO, 0, SEEK_CUR)); }

int64_t prim_out_size() {
  struct stat st;
  return fstat(STDOUT_FILENO, &st) == 0 ? int64_t(st.st_size) : -1;
}

bool prim_out_cut(int64_t at) { return ftruncate(STDOUT_FILENO, off_t(at)) == 0; }

void prim_out_seek(int64_t at) { (void)lseek(STDOUT_FILENO, off_t(at), SEEK_SET); }

bool prim_out_write(const unsigned char* data, size_t size) {
  return write_all(STDOUT_FILENO, data, size);
}

std::string prim_message_text(const std::string& text) { return text; }

file_id identify(std::intptr_t handle) {
  struct stat st;
  return fstat(int(handle), &st) == 0 ? device_inode(st.st_dev, st.st_ino) : file_id();
}

file_id identify(std::FILE* file) { return identify(fileno(file)); }

bool write_all(std::intptr_t handle, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(int(handle), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool ansi_to_native(const std::string& text, std::string& native) {
  native = text;
  return true;
}

void prefer_large_pages(void* start, size_t size) {
  // madvise wants a page-aligned start; the kernel backs the 2 MiB-aligned stretches
  // inside the range with transparent huge pages.
  size_t misalignment = reinterpret_cast<uintptr_t>(start) & 4095;
  madvise(static_cast<char*>(start) - misalignment, size + misalignment, MADV_HUGEPAGE);
}
