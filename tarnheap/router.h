// Internal hooks of the router, not exported from the shared library.
#pragma once

// Replaces the list of jemalloc file names that init tries (ending with nullptr), so
// tests can model a missing or wrong library. The default is the platform's list.
void set_jemalloc_libraries(const char* const* names);
