// Windows: standard output through its handle, files told apart by volume serial and
// file id, text converted between UTF-8 and the ANSI code page.
#include <io.h>
#include <windows.h>

#include <cstring>

#include "../buffer.h"
#include "../text.h"
#include "prim.h"

namespace {
HANDLE out_handle() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool to_wide(UINT code_page, const std::string& text, std::wstring& out) {
  if (text.empty()) return out.clear(), true;
  int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), int(text.size()),
                              nullptr, 0);
  if (n <= 0) return false;
  out.resize(size_t(n));
  MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), &out[0], n);
  return true;
}
}  // namespace

void prim_start() {}

prim_out prim_out_probe() {
  prim_out out;
  HANDLE h = out_handle();
  out.open = h != nullptr && h != INVALID_HANDLE_VALUE;
  if (!out.open) return out;
  out.id = identify(std::intptr_t(h));
  LARGE_INTEGER size;
  out.file = GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &size) != 0;
  out.size = out.file ? size.QuadPart : -1;
  // A handle does not tell whether it appends: Wine's from a Unix shell's >> stands at 0
  // and writes at the end. cmd's > and >> stand at the end, which is where the output is
  // taken to begin.
  out.appends = true;
  return out;
}

int64_t prim_out_position() {
  LARGE_INTEGER at;
  return SetFilePointerEx(out_handle(), LARGE_INTEGER{}, &at, FILE_CURRENT) != 0 ? at.QuadPart : -1;
}

int64_t prim_out_size() {
  LARGE_INTEGER size;
  return GetFileSizeEx(out_handle(), &size) != 0 ? size.QuadPart : -1;
}

// Wine cannot cut a handle it inherited from a Unix shell: SetEndOfFile fails there.
bool prim_out_cut(int64_t at) {
  LARGE_INTEGER to;
  to.QuadPart = at;
  return SetFilePointerEx(out_handle(), to, nullptr, FILE_BEGIN) != 0 &&
         SetEndOfFile(out_handle()) != 0;
}

void prim_out_seek(int64_t at) {
  LARGE_INTEGER to;
  to.QuadPart = at;
  SetFilePointerEx(out_handle(), to, nullptr, FILE_BEGIN);
}

bool prim_out_write(const unsigned char* data, size_t size) {
  return write_all(std::intptr_t(out_handle()), data, size);
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

file_id identify(std::intptr_t handle) {
  HANDLE h = reinterpret_cast<HANDLE>(handle);
  file_id id;
  FILE_ID_INFO ids;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandleEx(h, FileIdInfo, &ids, sizeof ids) != 0) {
    id.fine = true;
    id.volume = ids.VolumeSerialNumber;
    std::memcpy(id.file, ids.FileId.Identifier, sizeof id.file);
  }
  if (GetFileInformationByHandle(h, &info) != 0) {
    id.coarse = true;
    id.coarse_volume = info.dwVolumeSerialNumber;
    id.index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  }
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (known(id) && GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) != 0 &&
      GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) != 0) {
    id.written = basic.LastWriteTime.QuadPart;
    id.changed = basic.ChangeTime.QuadPart;
    id.size = standard.EndOfFile.QuadPart;
  }
  return id;
}

file_id identify(std::FILE* file) { return identify(_get_osfhandle(_fileno(file))); }

bool write_all(std::intptr_t handle, const unsigned char* data, size_t size) {
  while (size > 0) {
    DWORD chunk = size > (1u << 24) ? (1u << 24) : DWORD(size), done = 0;
    if (WriteFile(reinterpret_cast<HANDLE>(handle), data, chunk, &done, nullptr) == 0 || done == 0)
      return false;
    data += done;
    size -= done;
  }
  return true;
}

bool ansi_to_native(const std::string& text, std::string& native) {
  std::wstring wide;
  return to_wide(CP_ACP, text, wide) && wide_to_native(wide.c_str(), native);
}

bool native_to_wide(const std::string& native, std::wstring& wide) {
  return to_wide(CP_UTF8, native, wide);
}

bool wide_to_native(const wchar_t* wide, std::string& native) {
  int n =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  native.resize(size_t(n));
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, &native[0], n, nullptr, nullptr);
  native.resize(size_t(n - 1));
  return true;
}

// Large pages here need a privilege and memory of their own, not a hint on existing memory.
void prefer_large_pages(void*, size_t) {}
