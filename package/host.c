/* A tiny host built against an installed tree: it calls the linked exports, then loads
   the library again at run time through the header's helper. Built with HOST_LOADS, it
   only loads, as a host that does not link the library. Prints "ok" and exits 0 when
   every block it asked for behaved, every new one from jemalloc: the packages carry
   the library's own. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarnheap_load.h"

static int host_calls;

static void* TARNHEAP_CALL host_realloc(void* block, size_t size) {
  ++host_calls;
  return realloc(block, size);
}

static int fail(const char* what) {
  printf("failed: %s\n", what);
  return 1;
}

#ifndef HOST_LOADS
static int linked(void) {
  unsigned char* p;
  unsigned char* z;
  char* foreign;
  size_t i;

  if (init(host_realloc) != host_realloc) return fail("init");
  host_calls = 0;
  p = (unsigned char*)tarnheap(100);
  if (p == NULL) return fail("tarnheap");
  memset(p, 0x5a, 100);
  p = (unsigned char*)rrealloc(p, 4000);
  if (p == NULL || p[0] != 0x5a || p[99] != 0x5a) return fail("rrealloc");
  z = (unsigned char*)rcalloc(10, 10);
  if (z == NULL) return fail("rcalloc");
  for (i = 0; i < 100; ++i)
    if (z[i] != 0) return fail("rcalloc zero fill");
  if (host_calls != 0) return fail("new blocks came from the host's routine, not jemalloc");
  rfree(p);
  rfree(z);

  /* A block of the host's own goes to the host's routine, and rfree leaves it alone. */
  foreign = (char*)malloc(16);
  if (foreign == NULL) return fail("malloc");
  strcpy(foreign, "foreign");
  host_calls = 0;
  foreign = (char*)rrealloc(foreign, 32);
  if (foreign == NULL || host_calls != 1 || strcmp(foreign, "foreign") != 0)
    return fail("foreign rrealloc");
  rfree(foreign);
  free(foreign);
  return 0;
}
#endif

int main(int argc, char** argv) {
  tarnheap_api api;
  unsigned char* p;

#ifndef HOST_LOADS
  if (linked() != 0) return 1;
#endif
  if (tarnheap_load(&api, argc > 1 ? argv[1] : NULL) != 0) return fail("tarnheap_load");
  if (api.init(host_realloc) != host_realloc) return fail("loaded init");
  host_calls = 0;
  p = (unsigned char*)api.tarnheap(64);
  if (p == NULL) return fail("loaded tarnheap");
  p = (unsigned char*)api.rrealloc(p, 128);
  if (p == NULL) return fail("loaded rrealloc");
  if (host_calls != 0) return fail("loaded: a new block came from the host's routine");
  api.rfree(p);
  if (tarnheap_load(&api, "no-such-tarnheap-library") != -1 || api.init != NULL)
    return fail("tarnheap_load of a missing library");

  printf("ok\n");
  return 0;
}
