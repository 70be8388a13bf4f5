// Inputs are opened by their UTF-16 names: the arguments arrive as text in the ANSI code
// page, converted exactly from what the user typed (args_windows.cpp), so converting
// back gives that very name. Files are told apart by volume serial and file index.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "files.h"

namespace {
// Which file a handle is: the volume's serial number and the file's index on it.
struct identity {
  bool known;
  DWORD volume;
  DWORD index_high;
  DWORD index_low;
};

identity identify(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == 0) return {false, 0, 0, 0};
  return {true, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

HANDLE handle_of(std::FILE* file) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

// Standard output as noted at start, and its length when it is a file on disk.
identity output;
bool output_on_disk;
LARGE_INTEGER output_length;

// The longest path Windows accepts, with its terminating NUL.
wchar_t wide_path[32768];
}  // namespace

std::FILE* open_input(const char* path) {
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide_path,
                          sizeof wide_path / sizeof *wide_path) == 0)
    return nullptr;
  return _wfopen(wide_path, L"rb");
}

void output_note() {
  HANDLE out = handle_of(stdout);
  output = identify(out);
  output_on_disk = GetFileType(out) == FILE_TYPE_DISK && GetFileSizeEx(out, &output_length) != 0;
}

bool is_output(std::FILE* file) {
  identity input = identify(handle_of(file));
  return output.known && input.known && input.volume == output.volume &&
         input.index_high == output.index_high && input.index_low == output.index_low;
}

void output_undo() {
  HANDLE out = handle_of(stdout);
  if (output_on_disk && SetFilePointerEx(out, output_length, nullptr, FILE_BEGIN) != 0)
    SetEndOfFile(out);
}
