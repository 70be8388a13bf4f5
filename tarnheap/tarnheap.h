// The five entries that tarnheap exports, for hosts and for the library itself. Hosts
// usually load the library at run time and look these names up; the types below give
// the matching function pointer types. cdecl on 32-bit Windows.
#pragma once

#include <stddef.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TARNHEAP_CALL __cdecl
#else
#define TARNHEAP_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The host's own reallocation routine, with the contract of the C library's realloc.
typedef void*(TARNHEAP_CALL* tarnheap_realloc_fn)(void* block, size_t size);

// Binds jemalloc and records the host's routine for blocks jemalloc does not own.
// Returns the routine it was given. Call once, before any thread uses the library.
tarnheap_realloc_fn TARNHEAP_CALL init(tarnheap_realloc_fn fallback);

void* TARNHEAP_CALL tarnheap(size_t size);
void* TARNHEAP_CALL rcalloc(size_t count, size_t size);
void* TARNHEAP_CALL rrealloc(void* block, size_t size);
void TARNHEAP_CALL rfree(void* block);

#ifdef __cplusplus
}
#endif
