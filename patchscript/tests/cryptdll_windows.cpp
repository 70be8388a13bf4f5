// A cryptdll.dll planted beside patchscript.exe, as an attacker who can write to the
// program's folder would: once loaded, it leaves a file named planted-dll-ran in the
// current folder. The program must take the system's cryptdll.dll instead.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    HANDLE trace = CreateFileA("planted-dll-ran", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (trace != INVALID_HANDLE_VALUE) CloseHandle(trace);
  }
  return TRUE;
}
