// A library that only forwards to jemalloc, with no map: the cost any library in front
// of jemalloc pays for its own call level. The router benchmark loads it beside the
// router, so the router's share of the overhead can be read off in the same run.
// shim_malloc_framed calls jemalloc and returns, doing nothing after: the floor for any
// library that must act on jemalloc's result, as the router marks the block's page.
#include <cstddef>

#ifdef _WIN32
#define SHIM_EXPORT __declspec(dllexport)
#else
#define SHIM_EXPORT __attribute__((visibility("default")))
#endif

namespace {
void* (*forward_malloc)(size_t);
void* (*forward_realloc)(void*, size_t);
void (*forward_free)(void*);
}  // namespace

extern "C" {
SHIM_EXPORT void shim_bind(void* (*m)(size_t), void* (*r)(void*, size_t), void (*f)(void*)) {
  forward_malloc = m;
  forward_realloc = r;
  forward_free = f;
}
SHIM_EXPORT void* shim_malloc(size_t size) { return forward_malloc(size); }
SHIM_EXPORT __attribute__((aligned(64))) void* shim_malloc_framed(size_t size) {
  void* p = forward_malloc(size);
  asm volatile("" : "+r"(p));  // a use after the call, so it cannot be a tail call
  return p;
}
SHIM_EXPORT void* shim_realloc(void* p, size_t size) { return forward_realloc(p, size); }
SHIM_EXPORT void shim_free(void* p) { forward_free(p); }
}
