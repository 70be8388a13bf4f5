// Windows: the command line as UTF-16 (wmain; the program links with -municode), kept as
// UTF-8 inside; paths from a script are in the ANSI code page. Every file is opened by
// its UTF-16 name, so the file named is the file used, and the output moves into place
// with MoveFileExW, or replaces the input with ReplaceFileW.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "prim.h"
#include "text.h"

namespace {

std::vector<std::string> args;
std::vector<char*> arg_pointers;
std::vector<bool> arg_exact;

bool separator(wchar_t c) { return c == L'/' || c == L'\\'; }

// A path on the drive's root, another drive, or a UNC or device name.
bool rooted(const std::wstring& p) {
  return (!p.empty() && separator(p[0])) || (p.size() >= 2 && p[1] == L':');
}

std::wstring wide(const std::string& text) {
  std::wstring out;
  return native_to_wide(text, out) ? out : std::wstring();
}

// The identity of the file at name, following links; unknown when it cannot be opened.
file_id identify(const std::wstring& name) {
  HANDLE h = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return file_id();
  file_id id = ::identify(std::intptr_t(h));
  CloseHandle(h);
  return id;
}

// A folder entry of this name exists, even a link that leads nowhere.
bool entry_exists(const std::wstring& name) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(name.c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
  return h != INVALID_HANDLE_VALUE || GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// An entry that is there but is not a file nor a link: a folder, a device or a pipe.
bool not_a_file(const std::wstring& name) {
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return true;
  HANDLE h = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool device = GetFileType(h) != FILE_TYPE_DISK;
  CloseHandle(h);
  return device;
}

// The longest name the folder's volume takes, in UTF-16 units (255 on NTFS and FAT). Asked
// of the folder's own handle: by the volume's root path, Wine also reads the disk device
// for a label and prints a warning on standard error where it may not.
size_t name_max(const std::wstring& folder) {
  HANDLE h = CreateFileW(folder.empty() ? L"." : folder.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 255;
  DWORD longest = 0;
  BOOL known = GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, &longest, nullptr, nullptr, 0);
  CloseHandle(h);
  return known != 0 && longest > 0 ? longest : 255;
}

bool denied(DWORD error) { return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT; }

// The folder lets a file be added to it: its access list, and a medium that takes writes.
bool folder_writable(const std::wstring& folder) {
  HANDLE h = CreateFileW(folder.empty() ? L"." : folder.c_str(), FILE_ADD_FILE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return !denied(GetLastError());
  CloseHandle(h);
  return true;
}

// path made absolute, or as it is when that fails.
std::wstring absolute(const std::wstring& path) {
  DWORD n = path.empty() ? 0 : GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  if (n == 0 || GetFullPathNameW(path.c_str(), n, &full[0], nullptr) != n - 1) return path;
  full.resize(n - 1);
  return full;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  args.resize(size_t(argc));
  arg_exact.resize(size_t(argc));
  for (int i = 0; i < argc; ++i) {
    arg_exact[size_t(i)] = wide_to_native(argv[i], args[size_t(i)]);
    arg_pointers.push_back(&args[size_t(i)][0]);
  }
  arg_pointers.push_back(nullptr);
  return patchapply_main(argc, arg_pointers.data());
}

bool prim_arg_valid(int i) { return arg_exact[size_t(i)]; }

bool prim_windows_paths() { return true; }

std::FILE* prim_open_script(const char* path) {
  if (std::string(path) == "-") {
    _setmode(_fileno(stdin), _O_BINARY);  // CR LF is the reader's to see
    return stdin;
  }
  std::wstring name;
  return native_to_wide(path, name) ? _wfopen(name.c_str(), L"rb") : nullptr;
}

prim_dir::~prim_dir() = default;

dir_fault prim_dir_open(const char* base, prim_dir& dir) {
  dir.path.clear();
  return base == nullptr ? dir_fault::none : prim_dir_enter(dir, base, true);
}

dir_fault prim_dir_enter(prim_dir& dir, const std::string& part, bool follow) {
  std::wstring name;
  if (!native_to_wide(part, name)) return dir_fault::missing;
  if (!rooted(name)) name = dir.path + name;
  while (name.size() > 1 && separator(name.back()) && name[name.size() - 2] != L':')
    name.pop_back();
  // A drive's current folder ("C:") is a folder of its own.
  bool drive = name.size() == 2 && name[1] == L':';
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return GetLastError() == ERROR_ACCESS_DENIED ? dir_fault::denied : dir_fault::missing;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return dir_fault::missing;
  if (!follow && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return dir_fault::link;
  dir.path = drive || separator(name.back()) ? name : name + L'\\';
  return dir_fault::none;
}

prim_entry prim_entry_of(const prim_dir& dir, const std::string& name) {
  std::wstring full = dir.path + wide(name);
  prim_entry entry;
  entry.id = identify(full);
  entry.exists = entry_exists(full);
  entry.other = not_a_file(full);
  DWORD attributes = GetFileAttributesW(full.c_str());
  entry.link =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return entry;
}

bool prim_name_fits(const prim_dir& dir, const std::string& name) {
  return wide(name).size() <= name_max(dir.path);
}

bool prim_dir_writable(const prim_dir& dir) { return folder_writable(dir.path); }

// Windows has neither append-only folders nor sticky ones; nor unnamed files.
bool prim_dir_append_only(const prim_dir&) { return false; }

bool prim_dir_unnamed(const prim_dir&) { return false; }

bool prim_may_replace(const prim_dir&, const std::string&) { return true; }

load_fault prim_read(const prim_dir& dir, const std::string& path, bool in_place,
                     unsigned char* buffer, int32_t cap, int32_t* length, file_id* id,
                     prim_attrs*) {
  std::wstring name = dir.path + wide(path);
  // In place, the input is the file written: not a link itself.
  DWORD attributes = in_place ? GetFileAttributesW(name.c_str()) : INVALID_FILE_ATTRIBUTES;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return load_fault::not_regular;
  HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD attributes = GetFileAttributesW(name.c_str());
    bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return folder ? load_fault::not_regular : load_fault::open;
  }
  // A device (NUL, CON) or a pipe would read as empty or block.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return load_fault::not_regular;
  }
  size_t got = 0;
  bool ok = true;
  while (ok && got < size_t(cap)) {
    DWORD n = 0;
    ok = ReadFile(h, buffer + got, DWORD(size_t(cap) - got), &n, nullptr) != 0;
    if (ok && n == 0) break;
    got += n;
  }
  *id = identify(std::intptr_t(h));
  CloseHandle(h);
  if (!ok) return load_fault::read;
  *length = int32_t(got);
  return load_fault::none;
}

commit_fault prim_commit(const prim_dir& dir, const std::string& file,
                         const std::string& backup_name, bool force, bool in_place,
                         const prim_attrs&, const unsigned char* data, int32_t length) {
  std::wstring full = dir.path + wide(file);
  std::wstring backup = backup_name.empty() ? L"" : dir.path + wide(backup_name);
  // A fresh name beside the output: CREATE_NEW never opens a file that is already there.
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  unsigned seed = unsigned(GetCurrentProcessId()) * 2654435761u ^ unsigned(GetTickCount());
  for (int tries = 0; h == INVALID_HANDLE_VALUE && tries < 100; ++tries) {
    seed = seed * 1103515245u + 12345u;
    wchar_t suffix[40];
    _snwprintf(suffix, 40, L".patchapply-%08x.tmp", seed);
    temp = dir.path + suffix;
    h = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && denied(GetLastError())) return commit_fault::not_writable;
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
      return commit_fault::write;
  }
  if (h == INVALID_HANDLE_VALUE) return commit_fault::write;
  // Marked for deletion until it is complete: however the process ends meanwhile, Ctrl+C
  // or killed, the system removes the file as its handle closes. Kept once flushed.
  FILE_DISPOSITION_INFO disposition = {TRUE};
  bool ok = SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  ok = ok && write_all(std::intptr_t(h), data, size_t(length)) && FlushFileBuffers(h) != 0;
  disposition.DeleteFile = FALSE;
  ok = ok && SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  ok = CloseHandle(h) != 0 && ok;
  if (ok && in_place) {
    // The system's own replacement keeps the input's attributes and access list and
    // makes the backup in the same call.
    // With full paths: Wine's, given a bare name and no backup, finds no folder for it.
    std::wstring replaced = absolute(full), replacement = absolute(temp), kept = absolute(backup);
    if (ReplaceFileW(replaced.c_str(), replacement.c_str(), backup.empty() ? nullptr : kept.c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                     nullptr) != 0)
      return commit_fault::none;
    // The result has not taken the input's name. The input may have moved away (to the
    // backup, if any): then the result is moved there, and kept if that fails too, since
    // it may be all that is left. With a backup asked for, the input may still stand
    // under its name, and the result goes.
    DWORD error = GetLastError();
    bool moved_away =
        error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    if (moved_away && MoveFileExW(temp.c_str(), full.c_str(), MOVEFILE_WRITE_THROUGH) != 0)
      return commit_fault::none;
    if (!moved_away || entry_exists(full)) DeleteFileW(temp.c_str());
    return commit_fault::write;
  }
  // Without force, MoveFileExW refuses an existing name, so a file that appeared since
  // the check is not replaced either.
  DWORD flags = MOVEFILE_WRITE_THROUGH | (force ? MOVEFILE_REPLACE_EXISTING : 0);
  if (ok && MoveFileExW(temp.c_str(), full.c_str(), flags) != 0) return commit_fault::none;
  DWORD error = GetLastError();
  DeleteFileW(temp.c_str());
  return ok && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) ? commit_fault::exists
                                                                             : commit_fault::write;
}
