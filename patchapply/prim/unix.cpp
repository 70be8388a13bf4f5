// Linux: names are bytes, folders are walked with openat on O_PATH descriptors (which
// need search permission only) so that what was checked is what is written into, and
// the final rename refuses to replace unless forced.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "prim.h"

namespace {

// Lookups in the folder need search permission on it; an O_PATH descriptor opens without.
bool searchable(int fd) { return faccessat(fd, ".", X_OK, AT_EACCESS) == 0; }

// True when the process may remove any user's names from a sticky folder.
bool owns_any_file() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capget, &header, data) == 0 &&
         (data[CAP_TO_INDEX(CAP_FOWNER)].effective & CAP_TO_MASK(CAP_FOWNER)) != 0;
}

// The extended attributes of the file fd that a copy of it keeps: all but its file
// capabilities, which the kernel itself drops when a file is written. Those that cannot
// be read are left out, as cp --preserve=all leaves them.
void read_xattrs(int fd, prim_attrs* attrs) {
  ssize_t n = flistxattr(fd, nullptr, 0);
  std::string names(size_t(n > 0 ? n : 0), '\0');
  n = n > 0 ? flistxattr(fd, &names[0], names.size()) : 0;
  names.resize(size_t(n > 0 ? n : 0));
  for (size_t at = 0, end = 0; at < names.size(); at = end + 1) {
    end = std::min(names.find('\0', at), names.size());
    std::string name = names.substr(at, end - at);
    ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
    std::string value(size_t(size > 0 ? size : 0), '\0');
    if (size < 0 || name == "security.capability" ||
        (size > 0 && (size = fgetxattr(fd, name.c_str(), &value[0], value.size())) < 0))
      continue;
    value.resize(size_t(size));
    attrs->xattrs.emplace_back(name, value);
  }
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

// Moves the finished temporary file into place. Without force the kernel refuses an
// existing name, so a file that appeared since the check is not replaced either.
commit_fault put_in_place(int dir, const char* temp, const char* name, bool force) {
  if (force) return renameat(dir, temp, dir, name) == 0 ? commit_fault::none : commit_fault::write;
  if (renameat2(dir, temp, dir, name, RENAME_NOREPLACE) == 0) return commit_fault::none;
  if (errno == EEXIST) return commit_fault::exists;
  if (errno != EINVAL && errno != ENOSYS) return commit_fault::write;
  // A file system without RENAME_NOREPLACE: a hard link fails on an existing name too.
  if (linkat(dir, temp, dir, name, 0) != 0)
    return errno == EEXIST ? commit_fault::exists : commit_fault::write;
  unlinkat(dir, temp, 0);
  return commit_fault::none;
}

// How the old input was kept as its backup.
enum class kept { none, linked, moved };

// Keeps the file name in folder dir as backup too: a second name for the file itself,
// linked beside it (under a temporary name first when it replaces an old backup); where
// the file system has no hard links, the file itself moves there and the result then
// takes the freed name. Without force an existing backup is never replaced.
commit_fault keep_backup(int dir, const char* name, const char* backup, bool force, kept& how) {
  how = kept::none;
  char temp[sizeof temp_name];
  bool linked = false;
  if (!force) {
    linked = linkat(dir, name, dir, backup, 0) == 0;
    if (!linked && errno == EEXIST) return commit_fault::backup_exists;
  } else {
    for (int tries = 0; tries < 100; ++tries) {
      next_temp_name(temp);
      if ((linked = linkat(dir, name, dir, temp, 0) == 0) || errno != EEXIST) break;
    }
    if (linked && renameat(dir, temp, dir, backup) != 0) {
      unlinkat(dir, temp, 0);
      return commit_fault::write;
    }
    // A rename between two links of one file does nothing: the temporary name then stays.
    if (linked) unlinkat(dir, temp, 0);
  }
  if (linked) return how = kept::linked, commit_fault::none;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return commit_fault::write;
  // The backup's absence was checked; a file system without hard links may lack the
  // rename flag that keeps it so.
  bool moved = renameat2(dir, name, dir, backup, force ? 0 : RENAME_NOREPLACE) == 0 ||
               (errno == EINVAL && renameat(dir, name, dir, backup) == 0);
  if (moved) return how = kept::moved, commit_fault::none;
  return errno == EEXIST ? commit_fault::backup_exists : commit_fault::write;
}

// After a failed replacement: the input back as it stood, and no backup of this run.
void undo_backup(int dir, const char* name, const char* backup, kept how) {
  if (how == kept::linked) unlinkat(dir, backup, 0);
  if (how == kept::moved) renameat(dir, backup, dir, name);
}

// Flushes the folder's entries, so that a crash after exit keeps the new names. Only a
// folder that can be read can be opened to be flushed.
void flush_folder(int dir) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) { return patchapply_main(argc, argv); }

bool prim_arg_valid(int) { return true; }

bool prim_windows_paths() { return false; }

std::FILE* prim_open_script(const char* path) {
  return std::string(path) == "-" ? stdin : std::fopen(path, "rb");
}

prim_dir::~prim_dir() {
  if (fd >= 0) close(fd);
}

dir_fault prim_dir_open(const char* base, prim_dir& dir) {
  dir.fd = open(base != nullptr ? base : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir.fd < 0) return errno == EACCES ? dir_fault::denied : dir_fault::missing;
  return searchable(dir.fd) ? dir_fault::none : dir_fault::denied;
}

dir_fault prim_dir_enter(prim_dir& dir, const std::string& part, bool follow) {
  int fd =
      openat(dir.fd, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    int error = errno;
    struct stat st;
    if (!follow && fstatat(dir.fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
      return dir_fault::link;
    return error == EACCES ? dir_fault::denied : dir_fault::missing;
  }
  close(dir.fd);
  dir.fd = fd;
  return searchable(fd) ? dir_fault::none : dir_fault::denied;
}

prim_entry prim_entry_of(const prim_dir& dir, const std::string& name) {
  prim_entry entry;
  struct stat st;
  if (fstatat(dir.fd, name.c_str(), &st, 0) == 0) entry.id = device_inode(st.st_dev, st.st_ino);
  if (fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return entry;
  entry.exists = true;
  entry.link = S_ISLNK(st.st_mode);
  entry.other = !S_ISREG(st.st_mode) && !entry.link;
  return entry;
}

bool prim_name_fits(const prim_dir& dir, const std::string& name) {
  long longest = fpathconf(dir.fd, _PC_NAME_MAX);
  return longest <= 0 || name.size() <= size_t(longest);
}

// What creating a file in the folder needs, as the kernel checks it: write and search
// permission, and a file system that is not read-only.
bool prim_dir_writable(const prim_dir& dir) {
  return faccessat(dir.fd, ".", W_OK | X_OK, AT_EACCESS) == 0;
}

bool prim_dir_append_only(const prim_dir& dir) {
  struct statx x;
  return statx(dir.fd, "", AT_EMPTY_PATH, 0, &x) == 0 && (x.stx_attributes & STATX_ATTR_APPEND);
}

bool prim_dir_unnamed(const prim_dir& dir) {
  bool unnamed = proc_names(dir.fd);
  int fd = unnamed ? openat(dir.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600) : -1;
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// As the kernel decides it: in a sticky folder only the name's owner, the folder's owner
// or a process that may act as any file's owner removes a name; an append-only or
// immutable file is never removed.
bool prim_may_replace(const prim_dir& dir, const std::string& name) {
  struct statx x;
  struct stat folder, st;
  if (statx(dir.fd, name.c_str(), AT_SYMLINK_NOFOLLOW, 0, &x) == 0 &&
      (x.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)))
    return false;
  if (fstat(dir.fd, &folder) != 0 || !(folder.st_mode & S_ISVTX) ||
      fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return true;
  uid_t me = geteuid();
  return st.st_uid == me || folder.st_uid == me || owns_any_file();
}

load_fault prim_read(const prim_dir& dir, const std::string& name, bool in_place,
                     unsigned char* buffer, int32_t cap, int32_t* length, file_id* id,
                     prim_attrs* attrs) {
  // In place, the input is the file written: a link in its place would be replaced.
  int follow = in_place ? AT_SYMLINK_NOFOLLOW : 0;
  struct stat st;
  if (fstatat(dir.fd, name.c_str(), &st, follow) == 0 && !S_ISREG(st.st_mode))
    return load_fault::not_regular;
  // Without blocking, in case a FIFO took the file's place since; checked again below.
  struct closing {
    int fd;
    ~closing() {
      if (fd >= 0) close(fd);
    }
  } file{openat(dir.fd, name.c_str(),
                O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (in_place ? O_NOFOLLOW : 0))};
  if (file.fd < 0 && errno == ELOOP && in_place) return load_fault::not_regular;
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
  *id = device_inode(st.st_dev, st.st_ino);
  attrs->mode = unsigned(st.st_mode & 07777);
  attrs->uid = int64_t(st.st_uid);
  attrs->gid = int64_t(st.st_gid);
  if (in_place) read_xattrs(file.fd, attrs);
  return load_fault::none;
}

commit_fault prim_commit(const prim_dir& dir, const std::string& name, const std::string& backup,
                         bool force, bool in_place, const prim_attrs& attrs,
                         const unsigned char* data, int32_t length) {
  bool unnamed = false;
  int fd = create(dir.fd, unnamed);
  if (fd < 0)
    return errno == EACCES || errno == EPERM || errno == EROFS ? commit_fault::not_writable
                                                               : commit_fault::write;
  // In place, the file keeps its bits, its extended attributes and, where allowed (as
  // root), its owner and group, set first, since a change of owner clears the set-id
  // bits. Else a new file, as cp makes one: the input's bits less the umask.
  mode_t bits = mode_t(attrs.mode & 0777) & ~current_umask();
  if (in_place) {
    bits = mode_t(attrs.mode & 07777);
    (void)!fchown(fd, uid_t(attrs.uid), gid_t(attrs.gid));
    for (const auto& [key, value] : attrs.xattrs)
      fsetxattr(fd, key.c_str(), value.data(), value.size(), 0);
  }
  bool ok = write_all(fd, data, size_t(length)) && fchmod(fd, bits) == 0 && fsync(fd) == 0;
  bool replace = force || in_place;
  commit_fault fault;
  if (unnamed && !replace) {
    // Named only now, complete and flushed; like a rename that does not replace, the
    // link fails on an existing name, so a file that appeared since the check is kept.
    fault = !ok                                      ? commit_fault::write
            : name_unnamed(fd, dir.fd, name.c_str()) ? commit_fault::none
            : errno == EEXIST                        ? commit_fault::exists
                                                     : commit_fault::write;
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
    fault = !ok              ? commit_fault::write
            : backup.empty() ? commit_fault::none
                             : keep_backup(dir.fd, name.c_str(), backup.c_str(), force, how);
    if (fault == commit_fault::none) fault = put_in_place(dir.fd, temp_name, name.c_str(), replace);
    if (fault != commit_fault::none) undo_backup(dir.fd, name.c_str(), backup.c_str(), how);
    if (fault != commit_fault::none && temp_live) unlinkat(dir.fd, temp_name, 0);
    temp_live = 0;
  }
  if (fault == commit_fault::none) flush_folder(dir.fd);
  return fault;
}
