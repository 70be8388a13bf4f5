// Inputs opened by their UTF-16 names, files told apart by volume serial and file id,
// and the 64-bit clock of msvcrt.
#include <io.h>
#include <windows.h>

#include <cstring>

#include "prim.h"

namespace {
// Which file a handle is: a file id and its volume's serial (Windows 8 and Wine), else
// the older index and serial. Wine names no volume behind a handle it inherited from a
// Unix shell (serial 0, and the older query fails): then times and size must match too.
struct identity {
  int kind;  // 0 unknown, 1 file id, 2 file index
  ULONGLONG volume;
  FILE_ID_128 file;
  LONGLONG written, changed, size;
};

identity identify(HANDLE handle) {
  identity id = {};
  FILE_ID_INFO ids;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids) != 0) {
    id.kind = 1;
    id.volume = ids.VolumeSerialNumber;
    id.file = ids.FileId;
  } else if (GetFileInformationByHandle(handle, &info) != 0) {
    id.kind = 2;
    id.volume = info.dwVolumeSerialNumber;
    std::memcpy(id.file.Identifier, &info.nFileIndexLow, 4);
    std::memcpy(id.file.Identifier + 4, &info.nFileIndexHigh, 4);
  } else {
    return id;
  }
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

bool same_file(const identity& a, const identity& b) {
  if (a.kind == 0 || a.kind != b.kind || std::memcmp(&a.file, &b.file, sizeof a.file) != 0)
    return false;
  if (a.volume != 0 && b.volume != 0) return a.volume == b.volume;
  return a.written == b.written && a.changed == b.changed && a.size == b.size;
}

HANDLE handle_of(std::FILE* file) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

// Standard output as noted at start, and its length when it is a file on disk: where
// the script begins for > and >>, whose handles stand at the end. A handle that appends
// may stand elsewhere (Wine's from a Unix shell >> at 0), so no earlier position is trusted.
identity output;
bool output_on_disk;
LARGE_INTEGER output_length;

// The longest path Windows accepts, with its terminating NUL.
wchar_t wide_path[32768];
}  // namespace

// The arguments are ANSI text converted exactly from what was typed (main_windows.cpp),
// so converting back gives that very name.
std::FILE* prim_open_input(const char* path) {
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide_path,
                          sizeof wide_path / sizeof *wide_path) == 0)
    return nullptr;
  return _wfopen(wide_path, L"rb");
}

void prim_output_note() {
  HANDLE out = handle_of(stdout);
  output = identify(out);
  output_on_disk = GetFileType(out) == FILE_TYPE_DISK && GetFileSizeEx(out, &output_length) != 0;
}

bool prim_output_unknown() { return output_on_disk && output.kind == 0; }

bool prim_is_output(std::FILE* file) { return same_file(output, identify(handle_of(file))); }

// The script began at the file's end, so nothing of the file's stands past it.
bool prim_output_trim() { return true; }

void prim_output_undo() {
  HANDLE out = handle_of(stdout);
  LARGE_INTEGER end;
  if (!output_on_disk || SetFilePointerEx(out, LARGE_INTEGER{}, &end, FILE_CURRENT) == 0) return;
  // Wine cannot cut a handle it inherited from a Unix shell: the message then follows
  // the partial script rather than overwriting its start.
  if (SetFilePointerEx(out, output_length, nullptr, FILE_BEGIN) == 0 || SetEndOfFile(out) == 0)
    SetFilePointerEx(out, end, nullptr, FILE_BEGIN);
}

// msvcrt's time and localtime hold a 32-bit time_t in a 32-bit build; the 64-bit pair
// runs to the year 3000.
int64_t prim_clock_now() { return _time64(nullptr); }

bool prim_clock_local(int64_t t, std::tm* out) {
  __time64_t now = t;
  const std::tm* local = _localtime64(&now);
  if (local == nullptr) return false;
  *out = *local;
  return true;
}

// Large pages here need a privilege and memory of their own, not a hint on existing memory.
void prim_prefer_large_pages(void*, size_t) {}
