/* tarnheap_load: loads the tarnheap library at run time and binds its five entries, for
   hosts that do not link against it. Pulls in <windows.h> or <dlfcn.h>, which
   tarnheap.h alone does not. */
#ifndef TARNHEAP_LOAD_H
#define TARNHEAP_LOAD_H

#include <string.h>

#include "tarnheap.h"

#ifdef __cplusplus
extern "C" {
#endif

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
#endif /* TARNHEAP_LOAD_H */
