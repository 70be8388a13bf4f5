// The stand-in jemalloc.dll used by the Windows tests for what only it can show: counts
// of the calls that reached it, and blocks placed above 2 GiB. Besides je_malloc,
// je_calloc, je_realloc, je_free and je_mallctl it exports a switch for top-down blocks
// and the return address of the last je_free.
#pragma once

// In the host tests, reached through the loaded jemalloc.dll.
void set_top_down(bool on);
const void* last_free_caller();
