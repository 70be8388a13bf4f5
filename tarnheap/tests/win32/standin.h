// The stand-in jemalloc.dll used by the Windows tests, since no Windows build of jemalloc
// can be installed here. Besides je_malloc, je_calloc, je_realloc and je_free it exports
// counters of the calls that reached it and a switch to hand out blocks above 2 GiB.
#pragma once

enum standin_entry { standin_malloc, standin_calloc, standin_realloc, standin_free };
using standin_count_fn = long (*)(int entry);

// In the host tests, reached through the loaded jemalloc.dll.
void set_top_down(bool on);
const void* last_free_caller();
