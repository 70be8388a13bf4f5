// Inputs opened by their UTF-16 names, files told apart by volume serial and file
// index, the 64-bit clock of msvcrt, and MD5 from the system's cryptdll.dll.
#include <io.h>
#include <windows.h>

#include "prim.h"

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

// cryptdll's context: 104 bytes, the finished digest at bytes 88 to 103.
struct md5_context {
  unsigned char state[88];
  unsigned char digest[16];
};
static_assert(sizeof(md5_context) == 104, "cryptdll's MD5 context is 104 bytes");

using md5_init_fn = void(WINAPI*)(md5_context*);
using md5_update_fn = void(WINAPI*)(md5_context*, const unsigned char*, unsigned int);
using md5_final_fn = void(WINAPI*)(md5_context*);
md5_init_fn md5_init;
md5_update_fn md5_update;
md5_final_fn md5_final;

template <typename F>
F lookup(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
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

bool prim_is_output(std::FILE* file) {
  identity input = identify(handle_of(file));
  return output.known && input.known && input.volume == output.volume &&
         input.index_high == output.index_high && input.index_low == output.index_low;
}

void prim_output_undo() {
  HANDLE out = handle_of(stdout);
  if (output_on_disk && SetFilePointerEx(out, output_length, nullptr, FILE_BEGIN) != 0)
    SetEndOfFile(out);
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

const char* const prim_md5_libraries[] = {"cryptdll.dll", nullptr};

bool prim_md5_bind(const char* library) {
  // The system folder only: a plain LoadLibraryA looks in the program's folder first,
  // where a planted cryptdll.dll would run.
  HMODULE module = LoadLibraryExA(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return false;
  auto init = lookup<md5_init_fn>(module, "MD5Init");
  auto update = lookup<md5_update_fn>(module, "MD5Update");
  auto finish = lookup<md5_final_fn>(module, "MD5Final");
  if (init == nullptr || update == nullptr || finish == nullptr) {
    FreeLibrary(module);
    return false;
  }
  md5_init = init;
  md5_update = update;
  md5_final = finish;
  return true;
}

bool prim_md5_digest(const unsigned char* data, int32_t length, unsigned char digest[16]) {
  md5_context context;
  md5_init(&context);
  md5_update(&context, data, static_cast<unsigned int>(length));
  md5_final(&context);
  for (int i = 0; i < 16; ++i) digest[i] = context.digest[i];
  return true;
}

// Large pages here need a privilege and memory of their own, not a hint on existing memory.
void prim_prefer_large_pages(void*, size_t) {}
