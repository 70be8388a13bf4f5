// What the router needs from the platform: loading jemalloc by name with its four
// allocation entries and its control entry, address space for the page map, and
// reporting a failed allocation as jemalloc does. One file per platform.
#pragma once

#include <cstddef>

struct jemalloc_entries {
  void* (*malloc)(size_t);
  void* (*calloc)(size_t, size_t);
  void* (*realloc)(void*, size_t);
  void (*free)(void*);
  // mallctl, through which the router reads whether jemalloc keeps its address ranges.
  int (*mallctl)(const char* name, void* old, size_t* old_size, void* value, size_t size);
};

// The file names tried in order, ending with nullptr. On Linux a name that starts with
// "$ORIGIN/" is looked up only in the folder of the library itself.
extern const char* const prim_jemalloc_libraries[];

// Loads the named library and finds all five entries inside it. All or nothing: on any
// failure *out is left alone and a library loaded here is released again. False also for
// a library that was in the process before this one loaded it: the host's own blocks
// may come from it. Where jemalloc's options are still open when it is loaded (on
// Windows), asks it to keep the address ranges it maps (its "retain" option) without
// overriding the host's own choice; the router then reads what jemalloc settled on.
bool prim_bind_jemalloc(const char* library, jemalloc_entries* out);

// Keeps the tarnheap library loaded for the life of the process, so the map and its
// marks outlive an unload by the host; false when refused.
bool prim_pin_self();

// Zero-filled address space of the given size, reserved for the life of the process;
// nullptr when refused. A part may be touched once prim_commit has backed it.
void* prim_reserve(size_t bytes);

// Backs part of a reservation, which stays zero-filled, so that it may be touched; false
// when the system refuses. Committing a part twice keeps its contents. On Linux the
// system backs each page when it is first touched, and this does nothing.
bool prim_commit(void* at, size_t bytes);

// Reports a failed allocation the way jemalloc does on this platform: errno ENOMEM on
// Linux, the thread's last-error value 12 (ENOMEM's number) on Windows.
void prim_no_memory();
