/* tarnheap: a host calls these five entries in place of malloc, calloc, realloc and
   free; new blocks come from jemalloc, and each later realloc or free goes back to the
   allocator that owns the block. C and C++; cdecl on 32-bit Windows.

   Link against the library (libtarnheap.so, or tarnheap.dll through its import
   library), or load it at run time with tarnheap_load() from tarnheap_load.h. */
#ifndef TARNHEAP_H
#define TARNHEAP_H

#include <stddef.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TARNHEAP_CALL __cdecl
#else
#define TARNHEAP_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's own reallocation routine, with the contract of the C library's realloc:
   it serves every block that jemalloc does not own. */
typedef void*(TARNHEAP_CALL* tarnheap_realloc_fn)(void* block, size_t size);

/* Binds jemalloc and records the host's routine; returns the routine it was given.
   Call it before any other thread uses the library. Where jemalloc cannot soundly be
   used, the library serves through the routine: tarnheap() then calls it, which a host
   can watch for right after init. A later call replaces the routine and binds again,
   keeping the earlier binding if that fails. */
tarnheap_realloc_fn TARNHEAP_CALL init(tarnheap_realloc_fn fallback);

void* TARNHEAP_CALL tarnheap(size_t size);              /* like malloc */
void* TARNHEAP_CALL rcalloc(size_t count, size_t size); /* like calloc */
void* TARNHEAP_CALL rrealloc(void* block, size_t size); /* like realloc */
void TARNHEAP_CALL rfree(void* block);                  /* like free */

#ifdef __cplusplus
}
#endif

#endif /* TARNHEAP_H */
