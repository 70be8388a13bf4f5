// The load and unload hook of tarnheap.dll. All binding happens in init, which the host
// calls; loading or unloading the library does no work of its own.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
