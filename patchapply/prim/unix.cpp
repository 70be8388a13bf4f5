// Linux: names are bytes, folders are walked with openat so that what was checked is
// what is written into, and the final rename refuses to replace unless forced.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "prim.h"

namespace {

// Closes a folder descriptor on every way out.
struct folder {
  int fd = -1;
  ~folder() {
    if (fd >= 0) close(fd);
  }
};

prim_id identify(const struct stat& st) {
  prim_id id;
  id.known = true;
  id.volume = uint64_t(st.st_dev);
  id.index = uint64_t(st.st_ino);
  return id;
}

bool same(const prim_id& a, const prim_id& b) {
  return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

// Opens the folder of path, relative to folder base, into f and leaves the file's own
// name in name. A confined path is walked one folder at a time without following links.
out_fault open_folder(const char* base, const std::string& path, bool confined, folder& f,
                      std::string& name) {
  size_t slash = path.rfind('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string folders = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  f.fd = open(base != nullptr ? base : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (f.fd < 0) return out_fault::no_folder;
  if (!confined) {
    if (folders.empty()) return out_fault::none;
    int fd = openat(f.fd, folders.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(f.fd);
    f.fd = fd;
    return fd < 0 ? out_fault::no_folder : out_fault::none;
  }
  for (size_t start = 0; start < folders.size();) {
    size_t end = folders.find('/', start);
    std::string part = folders.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    int fd = openat(f.fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      struct stat st;
      bool link = fstatat(f.fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      return link ? out_fault::folder_link : out_fault::no_folder;
    }
    close(f.fd);
    f.fd = fd;
  }
  return out_fault::none;
}

// The signals whose default ends the process. A named temporary file must not outlive
// them; one that was ignored at start stays ignored, as in other Unix tools (nohup, a
// background job's SIGINT).
const int fatal_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGPIPE, SIGALRM,
                             SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// The named temporary file while it exists, so that a signal removes it.
int temp_dir = -1;
char temp_name[64];
volatile std::sig_atomic_t temp_live;

extern "C" void remove_temp(int sig) {
  if (temp_live) unlinkat(temp_dir, temp_name, 0);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void catch_signals() {
  for (int sig : fatal_signals) {
    struct sigaction before;
    if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      std::signal(sig, remove_temp);
  }
}

// Holds the fatal signals while it lives, so that two steps go together: creating a file
// and marking it for removal, or naming it and moving it into place.
struct held_signals {
  sigset_t before;
  held_signals() {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : fatal_signals) sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &before);
  }
  ~held_signals() { sigprocmask(SIG_SETMASK, &before, nullptr); }
};

// A fresh temporary name beside the output, in temp_name or in name[64].
void next_temp_name(char* name = temp_name) {
  static unsigned seed = unsigned(getpid()) * 2654435761u ^ unsigned(std::time(nullptr));
  seed = seed * 1103515245u + 12345u;
  std::snprintf(name, sizeof temp_name, ".patchapply-%08x.tmp", seed);
}

// Gives the unnamed file fd the name in folder dir; fails on an existing name (EEXIST).
bool name_unnamed(int fd, int dir, const char* name) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW) == 0;
}

// True when /proc names the open file fd, as linking an unnamed file needs.
bool proc_names(int fd) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  struct stat named, open;
  return stat(self, &named) == 0 && fstat(fd, &open) == 0 && named.st_dev == open.st_dev &&
         named.st_ino == open.st_ino;
}

// The result's file in folder dir. Unnamed (O_TMPFILE) where the file system has such
// files and /proc can name them later: however the process ends before that, even
// killed, nothing is left. Else under a fresh temporary name, which a signal removes.
int create(int dir, bool& unnamed) {
  unnamed = proc_names(dir);
  if (unnamed) {
    int fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    unnamed = false;
  }
  catch_signals();
  temp_dir = dir;
  for (int tries = 0; tries < 100; ++tries) {
    next_temp_name();
    held_signals held;
    // O_EXCL never opens a file that is already there.
    int fd = openat(dir, temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    temp_live = fd >= 0;
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The file-creation mask: reading it means setting it, so it is put back at once.
mode_t current_umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

bool write_all(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

// Moves the finished temporary file into place. Without force the kernel refuses an
// existing name, so a file that appeared since the check is not replaced either.
out_fault put_in_place(int dir, const char* temp, const char* name, bool force) {
  if (force) return renameat(dir, temp, dir, name) == 0 ? out_fault::none : out_fault::write;
  if (renameat2(dir, temp, dir, name, RENAME_NOREPLACE) == 0) return out_fault::none;
  if (errno == EEXIST) return out_fault::exists;
  if (errno != EINVAL && errno != ENOSYS) return out_fault::write;
  // A file system without RENAME_NOREPLACE: a hard link fails on an existing name too.
  if (linkat(dir, temp, dir, name, 0) != 0)
    return errno == EEXIST ? out_fault::exists : out_fault::write;
  unlinkat(dir, temp, 0);
  return out_fault::none;
}

// How the old input was kept as its backup.
enum class kept { none, linked, moved };

// Keeps the file name in folder dir as backup too: a second name for the file itself,
// linked beside it (under a temporary name first when it replaces an old backup); where
// the file system has no hard links, the file itself moves there and the result then
// takes the freed name. Without force an existing backup is never replaced.
out_fault keep_backup(int dir, const char* name, const char* backup, bool force, kept& how) {
  how = kept::none;
  char temp[sizeof temp_name];
  bool linked = false;
  if (!force) {
    linked = linkat(dir, name, dir, backup, 0) == 0;
    if (!linked && errno == EEXIST) return out_fault::backup_exists;
  } else {
    for (int tries = 0; tries < 100; ++tries) {
      next_temp_name(temp);
      if ((linked = linkat(dir, name, dir, temp, 0) == 0) || errno != EEXIST) break;
    }
    if (linked && renameat(dir, temp, dir, backup) != 0) {
      unlinkat(dir, temp, 0);
      return out_fault::write;
    }
  }
  if (linked) return how = kept::linked, out_fault::none;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return out_fault::write;
  // The backup's absence was checked; a file system without hard links may lack the
  // rename flag that keeps it so.
  bool moved = renameat2(dir, name, dir, backup, force ? 0 : RENAME_NOREPLACE) == 0 ||
               (errno == EINVAL && renameat(dir, name, dir, backup) == 0);
  if (moved) return how = kept::moved, out_fault::none;
  return errno == EEXIST ? out_fault::backup_exists : out_fault::write;
}

// After a failed replacement: the input back as it stood, and no backup of this run.
void undo_backup(int dir, const char* name, const char* backup, kept how) {
  if (how == kept::linked) unlinkat(dir, backup, 0);
  if (how == kept::moved) renameat(dir, backup, dir, name);
}

}  // namespace

// Standard output was closed at start: the result cannot go there.
bool stdout_closed;

int main(int argc, char** argv) {
  // A file-size limit otherwise kills the process mid-write, leaving the temporary file;
  // ignored, the write fails with EFBIG and is cleaned up like any other.
  std::signal(SIGXFSZ, SIG_IGN);
  // A closed standard stream would go to the next file opened, the script or the input,
  // and the result of -o - with it.
  stdout_closed = fcntl(STDOUT_FILENO, F_GETFD) < 0;
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return 1;
  return patchapply_main(argc, argv);
}

bool prim_arg_valid(int) { return true; }

bool prim_script_path(const std::string& text, std::string& native) {
  native = text;
  return true;
}

std::string prim_message_text(const std::string& text) { return text; }

bool prim_separator(char c) { return c == '/'; }

path_fault prim_path_fault(const std::string&) { return path_fault::none; }

bool prim_folder_exists(const char* path) {
  folder f;
  f.fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return f.fd >= 0;
}

void prim_prefer_large_pages(void* start, size_t size) {
  // madvise wants a page-aligned start; the kernel backs the 2 MiB-aligned stretches
  // inside the range with transparent huge pages.
  size_t misalignment = reinterpret_cast<uintptr_t>(start) & 4095;
  madvise(static_cast<char*>(start) - misalignment, size + misalignment, MADV_HUGEPAGE);
}

std::FILE* prim_open_script(const char* path) {
  return std::string(path) == "-" ? stdin : std::fopen(path, "rb");
}

load_fault prim_load(const char* base, const char* path, bool confined, unsigned char* buffer,
                     int32_t cap, int32_t* length, prim_id* id, prim_attrs* attrs) {
  folder dir;
  std::string name;
  switch (open_folder(base, path, confined, dir, name)) {
    case out_fault::none:
      break;
    case out_fault::folder_link:
      return load_fault::folder_link;
    default:
      return load_fault::open;
  }
  // Confined, the input is the file written: a link in its place would be replaced.
  int follow = confined ? AT_SYMLINK_NOFOLLOW : 0;
  struct stat st;
  if (fstatat(dir.fd, name.c_str(), &st, follow) == 0 && !S_ISREG(st.st_mode))
    return load_fault::not_regular;
  // Without blocking, in case a FIFO took the file's place since; checked again below.
  folder file;  // closed on every way out, like a folder
  file.fd = openat(dir.fd, name.c_str(),
                   O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (confined ? O_NOFOLLOW : 0));
  if (file.fd < 0 && errno == ELOOP && confined) return load_fault::not_regular;
  if (file.fd < 0 || fstat(file.fd, &st) != 0) return load_fault::open;
  if (!S_ISREG(st.st_mode)) return load_fault::not_regular;
  fcntl(file.fd, F_SETFL, fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);
  size_t got = 0;
  while (got < size_t(cap)) {
    ssize_t n = read(file.fd, buffer + got, size_t(cap) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return load_fault::read;
    if (n == 0) break;
    got += size_t(n);
  }
  *length = int32_t(got);
  *id = identify(st);
  attrs->mode = unsigned(st.st_mode & 07777);
  attrs->uid = int64_t(st.st_uid);
  attrs->gid = int64_t(st.st_gid);
  return load_fault::none;
}

stdout_fault prim_stdout_check(const prim_id& input) {
  struct stat st;
  bool open = !stdout_closed && fstat(STDOUT_FILENO, &st) == 0;
  return open && same(identify(st), input) ? stdout_fault::is_input : stdout_fault::none;
}

bool prim_stdout_write(const unsigned char* data, int32_t length) {
  if (stdout_closed) return false;
  // Where a regular file takes the result: at its end when the descriptor appends.
  struct stat st;
  off_t start = -1;
  if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    off_t at = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    start = (flags != -1 && (flags & O_APPEND)) || at < 0 || at > st.st_size ? st.st_size : at;
  }
  if (write_all(STDOUT_FILENO, data, size_t(length))) return true;
  if (start >= 0 && ftruncate(STDOUT_FILENO, start) == 0) lseek(STDOUT_FILENO, start, SEEK_SET);
  return false;
}

out_fault prim_write(const out_request& out, const unsigned char* data, int32_t length) {
  folder dir;
  std::string name;
  out_fault fault = open_folder(out.base, out.path, out.confined, dir, name);
  if (fault != out_fault::none) return fault;
  if (name.empty() || name == "." || name == "..")
    return out_fault::not_regular;  // it names a folder
  std::string backup = out.backup ? name + ".orig" : "";

  // The link or rename that names a file would refuse a name the file system cannot hold.
  long name_max = fpathconf(dir.fd, _PC_NAME_MAX);
  if (name_max > 0 && name.size() > size_t(name_max)) return out_fault::name_too_long;
  if (name_max > 0 && backup.size() > size_t(name_max)) return out_fault::backup_too_long;

  struct stat st;
  if (!out.in_place && fstatat(dir.fd, name.c_str(), &st, 0) == 0 && same(identify(st), out.input))
    return out_fault::is_input;
  // A symbolic link counts as existing, even when it leads nowhere. A device, a FIFO or
  // a folder is never replaced: renamed over, a device node would become a plain file.
  bool present = !out.in_place && fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (present && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return out_fault::not_regular;
  if (present && !out.force) return out_fault::exists;
  present = out.backup && fstatat(dir.fd, backup.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (present && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return out_fault::backup_not_regular;
  if (present && !out.force) return out_fault::backup_exists;
  // What creating a file in the folder needs, as the kernel checks it: write and search
  // permission, and a file system that is not read-only.
  if (faccessat(dir.fd, ".", W_OK | X_OK, AT_EACCESS) != 0) return out_fault::not_writable;
  if (out.check_only) return out_fault::none;

  bool unnamed = false;
  int fd = create(dir.fd, unnamed);
  if (fd < 0)
    return errno == EACCES || errno == EPERM || errno == EROFS ? out_fault::not_writable
                                                               : out_fault::write;
  // In place, the file keeps its bits and, where allowed (as root), its owner and group,
  // set first, since a change of owner clears the set-id bits. Else a new file, as cp
  // makes one: the input's bits less the umask.
  mode_t bits = mode_t(out.attrs.mode & 0777) & ~current_umask();
  if (out.in_place) {
    bits = mode_t(out.attrs.mode & 07777);
    (void)!fchown(fd, uid_t(out.attrs.uid), gid_t(out.attrs.gid));
  }
  bool ok = write_all(fd, data, size_t(length)) && fchmod(fd, bits) == 0 && fsync(fd) == 0;
  bool replace = out.force || out.in_place;
  if (unnamed && !replace) {
    // Named only now, complete and flushed; like a rename that does not replace, the
    // link fails on an existing name, so a file that appeared since the check is kept.
    fault = !ok                                      ? out_fault::write
            : name_unnamed(fd, dir.fd, name.c_str()) ? out_fault::none
            : errno == EEXIST                        ? out_fault::exists
                                                     : out_fault::write;
    close(fd);
  } else {
    held_signals held;  // named, the file goes into place or away with no signal between
    if (unnamed && ok) {
      // Renamed over the old file from a temporary name of its own.
      ok = false;
      for (int tries = 0; !ok && tries < 100; ++tries) {
        next_temp_name();
        ok = name_unnamed(fd, dir.fd, temp_name);
        if (!ok && errno != EEXIST) break;
      }
      temp_live = ok;
    }
    ok = close(fd) == 0 && ok;
    kept how = kept::none;
    fault = !ok          ? out_fault::write
            : out.backup ? keep_backup(dir.fd, name.c_str(), backup.c_str(), out.force, how)
                         : out_fault::none;
    if (fault == out_fault::none) fault = put_in_place(dir.fd, temp_name, name.c_str(), replace);
    if (fault != out_fault::none) undo_backup(dir.fd, name.c_str(), backup.c_str(), how);
    if (fault != out_fault::none && temp_live) unlinkat(dir.fd, temp_name, 0);
    temp_live = 0;
  }
  if (fault != out_fault::none) return fault;
  fsync(dir.fd);  // the new names themselves, so a crash after exit keeps the files
  return out_fault::none;
}
