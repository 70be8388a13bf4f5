// Windows: the command line as UTF-16 (wmain; the program links with -municode), kept as
// UTF-8 inside; paths from a script are in the ANSI code page. Every file is opened by
// its UTF-16 name, so the file named is the file used. Files are told apart by volume
// serial and file index, and the output moves into place with MoveFileExW.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "prim.h"

namespace {

std::vector<std::string> args;
std::vector<char*> arg_pointers;
std::vector<bool> arg_exact;

bool to_utf8(const wchar_t* wide, std::string& out) {
  int n =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  out.resize(size_t(n));
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, &out[0], n, nullptr, nullptr);
  out.resize(size_t(n - 1));
  return true;
}

bool to_wide(UINT code_page, const std::string& text, std::wstring& out) {
  if (text.empty()) return out.clear(), true;
  int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), int(text.size()),
                              nullptr, 0);
  if (n <= 0) return false;
  out.resize(size_t(n));
  MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), &out[0], n);
  return true;
}

bool separator(wchar_t c) { return c == L'/' || c == L'\\'; }

// A path on the drive's root, another drive, or a UNC or device name.
bool rooted(const std::wstring& p) {
  return (!p.empty() && separator(p[0])) || (p.size() >= 2 && p[1] == L':');
}

// base\path as UTF-16, or path alone when there is no base or it is rooted.
bool full_name(const char* base, const char* path, std::wstring& out) {
  std::wstring p;
  if (!to_wide(CP_UTF8, path, p)) return false;
  if (base == nullptr || rooted(p)) return out = p, true;
  if (!to_wide(CP_UTF8, base, out)) return false;
  if (!out.empty() && !separator(out.back())) out += L'\\';
  out += p;
  return true;
}

// Which file a handle is: a file id and its volume's serial (Windows 8 and Wine), else
// the older index and serial. Wine names no volume behind a handle it inherited from a
// Unix shell (serial 0, and the older query fails): then times and size must match too.
prim_id identify(HANDLE handle) {
  prim_id id;
  FILE_ID_INFO ids;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids) != 0) {
    id.volume = ids.VolumeSerialNumber;
    std::memcpy(&id.index, ids.FileId.Identifier, 8);
    std::memcpy(&id.index_high, ids.FileId.Identifier + 8, 8);
  } else if (GetFileInformationByHandle(handle, &info) != 0) {
    id.volume = info.dwVolumeSerialNumber;
    id.index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  } else {
    return id;
  }
  id.known = true;
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) != 0 &&
      GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) != 0) {
    id.written = basic.LastWriteTime.QuadPart;
    id.changed = basic.ChangeTime.QuadPart;
    id.size = standard.EndOfFile.QuadPart;
  }
  return id;
}

bool same(const prim_id& a, const prim_id& b) {
  if (!a.known || !b.known || a.index != b.index || a.index_high != b.index_high) return false;
  if (a.volume != 0 && b.volume != 0) return a.volume == b.volume;
  return a.written == b.written && a.changed == b.changed && a.size == b.size;
}

// The identity of the file at name, following links; unknown when it cannot be opened.
prim_id identify(const std::wstring& name) {
  HANDLE h = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return prim_id();
  prim_id id = identify(h);
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

// Where what a script names begins in full, base\path: the base folder itself is the
// user's choice, and only what the script adds is checked.
size_t script_part(const char* base, const std::wstring& full) {
  std::wstring wide;
  return base != nullptr && to_wide(CP_UTF8, base, wide) && full.compare(0, wide.size(), wide) == 0
             ? wide.size()
             : 0;
}

// Checks the folders on the way to the output, after its first from characters: each
// must exist and, on a script's path, none may be a symbolic link or a junction. Leaves
// the output's folder, with its final separator, in folder.
out_fault check_folders(bool confined, const std::wstring& full, size_t from,
                        std::wstring& folder) {
  size_t last = full.find_last_of(L"/\\");
  folder =
      last == std::wstring::npos || last < from ? full.substr(0, from) : full.substr(0, last + 1);
  for (size_t i = confined ? from + 1 : folder.size() - 1; i < folder.size(); ++i) {
    if (!separator(folder[i]) || i == 0 || separator(folder[i - 1])) continue;
    DWORD attributes = GetFileAttributesW(folder.substr(0, i).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return out_fault::no_folder;
    if (confined && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return out_fault::folder_link;
  }
  return out_fault::none;
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

bool write_all(HANDLE h, const unsigned char* data, size_t size) {
  while (size > 0) {
    DWORD chunk = size > (1u << 24) ? (1u << 24) : DWORD(size), done = 0;
    if (WriteFile(h, data, chunk, &done, nullptr) == 0 || done == 0) return false;
    data += done;
    size -= done;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  args.resize(size_t(argc));
  arg_exact.resize(size_t(argc));
  for (int i = 0; i < argc; ++i) {
    arg_exact[size_t(i)] = to_utf8(argv[i], args[size_t(i)]);
    arg_pointers.push_back(&args[size_t(i)][0]);
  }
  arg_pointers.push_back(nullptr);
  return patchapply_main(argc, arg_pointers.data());
}

bool prim_arg_valid(int i) { return arg_exact[size_t(i)]; }

bool prim_script_path(const std::string& text, std::string& native) {
  std::wstring wide;
  return to_wide(CP_ACP, text, wide) && to_utf8(wide.c_str(), native);
}

std::string prim_message_text(const std::string& text) {
  std::wstring wide;
  if (GetACP() == CP_UTF8 || !to_wide(CP_UTF8, text, wide) || wide.empty()) return text;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), nullptr,
                              0, "?", nullptr);
  std::string out(size_t(n > 0 ? n : 0), '\0');
  if (n <= 0 || WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()),
                                    &out[0], n, "?", nullptr) != n)
    return text;
  return out;
}

bool prim_separator(char c) { return c == '/' || c == '\\'; }

path_fault prim_path_fault(const std::string& path) {
  if (path.size() >= 2 && prim_separator(path[0]) && prim_separator(path[1]))
    return path_fault::prefix;
  if (path.find(':') != std::string::npos) return path_fault::colon;
  for (size_t start = 0; start <= path.size();) {
    size_t end = start;
    while (end < path.size() && !prim_separator(path[end])) ++end;
    std::string part = path.substr(start, end - start);
    start = end + 1;
    // Windows drops trailing dots and spaces from a name, so ".. " or "..." is "..".
    if (part.find_first_not_of(". ") == std::string::npos && part.find('.') != part.rfind('.'))
      return path_fault::leaves;
    // CON, NUL, COM1 and the like name devices in any folder, with any extension.
    std::string stem = part.substr(0, part.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = char(c >= 'a' && c <= 'z' ? c - 32 : c);
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* d : devices)
      if (stem == d) return path_fault::device;
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
        stem[3] >= '0' && stem[3] <= '9')
      return path_fault::device;
  }
  return path_fault::none;
}

bool prim_folder_exists(const char* path) {
  std::wstring name;
  DWORD attributes =
      full_name(nullptr, path, name) ? GetFileAttributesW(name.c_str()) : INVALID_FILE_ATTRIBUTES;
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Large pages here need a privilege and memory of their own, not a hint on existing memory.
void prim_prefer_large_pages(void*, size_t) {}

std::FILE* prim_open_script(const char* path) {
  if (std::string(path) == "-") {
    _setmode(_fileno(stdin), _O_BINARY);  // CR LF is the reader's to see
    return stdin;
  }
  std::wstring name;
  return full_name(nullptr, path, name) ? _wfopen(name.c_str(), L"rb") : nullptr;
}

load_fault prim_load(const char* base, const char* path, bool confined, unsigned char* buffer,
                     int32_t cap, int32_t* length, prim_id* id, prim_attrs*) {
  std::wstring name, folder;
  if (!full_name(base, path, name)) return load_fault::open;
  if (confined) {
    // The input is the file written: walked as a script's output, and not a link itself.
    out_fault fault = check_folders(true, name, script_part(base, name), folder);
    if (fault == out_fault::folder_link) return load_fault::folder_link;
    if (fault != out_fault::none) return load_fault::open;
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return load_fault::not_regular;
  }
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
  *id = identify(h);
  CloseHandle(h);
  if (!ok) return load_fault::read;
  *length = int32_t(got);
  return load_fault::none;
}

stdout_fault prim_stdout_check(const prim_id& input) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) != FILE_TYPE_DISK)
    return stdout_fault::none;
  prim_id id = identify(out);
  return !id.known         ? stdout_fault::unknown
         : same(id, input) ? stdout_fault::is_input
                           : stdout_fault::none;
}

bool prim_stdout_write(const unsigned char* data, int32_t length) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  // A file on disk takes the result at its end, with > and >> alike.
  LARGE_INTEGER start;
  bool file = GetFileType(out) == FILE_TYPE_DISK && GetFileSizeEx(out, &start) != 0;
  if (write_all(out, data, size_t(length))) return true;
  // Wine cannot cut a handle it inherited from a Unix shell: that keeps what was written.
  if (file && SetFilePointerEx(out, start, nullptr, FILE_BEGIN) != 0) SetEndOfFile(out);
  return false;
}

out_fault prim_write(const out_request& out, const unsigned char* data, int32_t length) {
  std::wstring full, folder;
  if (!full_name(out.base, out.path, full)) return out_fault::write;
  out_fault fault = check_folders(out.confined, full, script_part(out.base, full), folder);
  if (fault != out_fault::none) return fault;
  if (full.empty()) return out_fault::write;
  if (separator(full.back())) return out_fault::not_regular;  // it names a folder
  std::wstring backup = out.backup ? full + L".orig" : L"";
  size_t longest = name_max(folder);
  if (full.size() - folder.size() > longest) return out_fault::name_too_long;
  if (out.backup && backup.size() - folder.size() > longest) return out_fault::backup_too_long;

  if (!out.in_place && same(identify(full), out.input)) return out_fault::is_input;
  if (!out.in_place && not_a_file(full)) return out_fault::not_regular;
  if (!out.in_place && !out.force && entry_exists(full)) return out_fault::exists;
  if (out.backup && not_a_file(backup)) return out_fault::backup_not_regular;
  if (out.backup && !out.force && entry_exists(backup)) return out_fault::backup_exists;
  if (!folder_writable(folder)) return out_fault::not_writable;
  if (out.check_only) return out_fault::none;

  // A fresh name beside the output: CREATE_NEW never opens a file that is already there.
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  unsigned seed = unsigned(GetCurrentProcessId()) * 2654435761u ^ unsigned(GetTickCount());
  for (int tries = 0; h == INVALID_HANDLE_VALUE && tries < 100; ++tries) {
    seed = seed * 1103515245u + 12345u;
    wchar_t suffix[40];
    _snwprintf(suffix, 40, L".patchapply-%08x.tmp", seed);
    temp = folder + suffix;
    h = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && denied(GetLastError())) return out_fault::not_writable;
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return out_fault::write;
  }
  if (h == INVALID_HANDLE_VALUE) return out_fault::write;
  // Marked for deletion until it is complete: however the process ends meanwhile, Ctrl+C
  // or killed, the system removes the file as its handle closes. Kept once flushed.
  FILE_DISPOSITION_INFO disposition = {TRUE};
  bool ok = SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  ok = ok && write_all(h, data, size_t(length)) && FlushFileBuffers(h) != 0;
  disposition.DeleteFile = FALSE;
  ok = ok && SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  ok = CloseHandle(h) != 0 && ok;
  if (ok && out.in_place) {
    // The system's own replacement keeps the input's attributes and access list and
    // makes the backup in the same call.
    // With full paths: Wine's, given a bare name and no backup, finds no folder for it.
    std::wstring replaced = absolute(full), replacement = absolute(temp), kept = absolute(backup);
    if (ReplaceFileW(replaced.c_str(), replacement.c_str(), out.backup ? kept.c_str() : nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                     nullptr) != 0)
      return out_fault::none;
    // The result has not taken the input's name. The input may have moved away (to the
    // backup, if any): then the result is moved there, and kept if that fails too, since
    // it may be all that is left. With a backup asked for, the input may still stand
    // under its name, and the result goes.
    DWORD error = GetLastError();
    bool moved_away =
        error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    if (moved_away && MoveFileExW(temp.c_str(), full.c_str(), MOVEFILE_WRITE_THROUGH) != 0)
      return out_fault::none;
    if (!moved_away || entry_exists(full)) DeleteFileW(temp.c_str());
    return out_fault::write;
  }
  // Without force, MoveFileExW refuses an existing name, so a file that appeared since
  // the check is not replaced either.
  DWORD flags = MOVEFILE_WRITE_THROUGH | (out.force ? MOVEFILE_REPLACE_EXISTING : 0);
  if (ok && MoveFileExW(temp.c_str(), full.c_str(), flags) != 0) return out_fault::none;
  DWORD error = GetLastError();
  DeleteFileW(temp.c_str());
  return ok && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) ? out_fault::exists
                                                                             : out_fault::write;
}
