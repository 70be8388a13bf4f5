// The stand-in jemalloc.dll used by the Windows tests for what only it can show: counts
// of the calls that reached it, and blocks placed where a test chooses. Besides
// je_malloc, je_calloc, je_realloc, je_free and je_mallctl it exports a switch for
// top-down blocks, placement of the next blocks, and the return address of the last
// je_free.
#pragma once

#include <cstdint>

// Reached through the loaded jemalloc.dll.
void set_top_down(bool on);
// The next count blocks each start in the first free 64 KiB granule at or above at.
void set_place(uintptr_t at, int count);
const void* last_free_caller();
