/* tarnheap: a host calls these five entries in place of malloc, calloc, realloc and
   free; new blocks come from jemalloc, and each later realloc or free goes back to the
   allocator that owns the block. C and C++; cdecl on 32-bit Windows.

   Link against the library (libtarnheap.so, or tarnheap.dll through its import
   library), or load it at run time with tarnheap_load() below. */
#ifndef TARNHEAP_H
#define TARNHEAP_H

#include <stddef.h>
#include <string.h>

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

/* Binds jemalloc and records the host's routine. Returns the routine it was given.
   Call once, before any thread uses the library. */
tarnheap_realloc_fn TARNHEAP_CALL init(tarnheap_realloc_fn fallback);

void* TARNHEAP_CALL tarnheap(size_t size);              /* like malloc */
void* TARNHEAP_CALL rcalloc(size_t count, size_t size); /* like calloc */
void* TARNHEAP_CALL rrealloc(void* block, size_t size); /* like realloc */
void TARNHEAP_CALL rfree(void* block);                  /* like free */

/* The five entries of a library loaded at run time. */
typedef struct tarnheap_api {
  tarnheap_realloc_fn(TARNHEAP_CALL* init)(tarnheap_realloc_fn fallback);
  void*(TARNHEAP_CALL* tarnheap)(size_t size);
  void*(TARNHEAP_CALL* rcalloc)(size_t count, size_t size);
  void*(TARNHEAP_CALL* rrealloc)(void* block, size_t size);
  void(TARNHEAP_CALL* rfree)(void* block);
  void* module; /* the loaded library, kept loaded */
} tarnheap_api;

#ifdef __cplusplus
}
#endif

#ifndef TARNHEAP_NO_LOADER
#ifdef _WIN32
#include <windows.h>
#define TARNHEAP_DEFAULT_LIBRARY "tarnheap.dll"
#else
#include <dlfcn.h>
#define TARNHEAP_DEFAULT_LIBRARY "libtarnheap.so"
#endif

/* Copies an entry address into a function-pointer field; memcpy is the one conversion
   from a looked-up address that C and C++ both accept without a warning. */
static inline int tarnheap_entry_(void* module, const char* name, void* field) {
#ifdef _WIN32
  FARPROC entry = GetProcAddress((HMODULE)module, name);
#else
  void* entry = dlsym(module, name);
#endif
  if (entry == NULL) return -1;
  memcpy(field, &entry, sizeof entry);
  return 0;
}

/* Loads the library at path (NULL: the platform's file name, found by the usual search)
   and binds its five entries into *api. Returns 0, or -1 with *api cleared when the
   library or one of its entries is missing. Then call api->init before anything else. */
static inline int tarnheap_load(tarnheap_api* api, const char* path) {
  const char* file = path != NULL ? path : TARNHEAP_DEFAULT_LIBRARY;
#ifdef _WIN32
  void* module = (void*)LoadLibraryA(file);
#else
  void* module = dlopen(file, RTLD_NOW | RTLD_LOCAL);
#endif
  memset(api, 0, sizeof *api);
  if (module == NULL) return -1;
  if (tarnheap_entry_(module, "init", &api->init) != 0 ||
      tarnheap_entry_(module, "tarnheap", &api->tarnheap) != 0 ||
      tarnheap_entry_(module, "rcalloc", &api->rcalloc) != 0 ||
      tarnheap_entry_(module, "rrealloc", &api->rrealloc) != 0 ||
      tarnheap_entry_(module, "rfree", &api->rfree) != 0) {
#ifdef _WIN32
    FreeLibrary((HMODULE)module);
#else
    dlclose(module);
#endif
    memset(api, 0, sizeof *api);
    return -1;
  }
  api->module = module;
  return 0;
}
#endif /* TARNHEAP_NO_LOADER */

#endif /* TARNHEAP_H */
