// The five exports: new blocks go to jemalloc and mark the page of their start; a later
// realloc or free goes to jemalloc only when that page is marked, else to the host. A
// block whose page cannot be marked (beyond the map, or in a region whose leaf cannot be
// had) is never handed out.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "page_map.h"
#include "prim/prim.h"
#include "router.h"
#include "tarnheap.h"

#ifdef _WIN32
#define EXPORT  // the .def file names the exports
#else
#define EXPORT __attribute__((visibility("default")))
#endif
// Each allocation entry on a cache line of its own: a line crossing costs a measurable
// share of the router's small overhead.
#define HOT __attribute__((aligned(64)))

namespace {
// Every slot always holds a callable routine (null results before init, the host's
// routine without jemalloc), so the hot path needs no test for the unbound state.
void* TARNHEAP_CALL no_realloc(void*, size_t) { return nullptr; }
void* no_malloc(size_t) { return nullptr; }
void* no_calloc(size_t, size_t) { return nullptr; }
void no_free(void*) {}

tarnheap_realloc_fn fallback_realloc = no_realloc;

void* host_malloc(size_t size) { return fallback_realloc(nullptr, size); }

void* host_calloc(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) {
    errno = ENOMEM;  // as calloc reports it
    return nullptr;
  }
  void* p = fallback_realloc(nullptr, count * size);
  if (p != nullptr) memset(p, 0, count * size);
  return p;
}

void* (*bound_malloc)(size_t) = no_malloc;
void* (*bound_calloc)(size_t, size_t) = no_calloc;
void* (*bound_realloc)(void*, size_t) = no_realloc;
void (*bound_free)(void*) = no_free;

const char* const* jemalloc_libraries = prim_jemalloc_libraries;

bool bind(jemalloc_entries* e) {
  for (const char* const* name = jemalloc_libraries; *name != nullptr; ++name) {
    if (prim_bind_jemalloc(*name, e)) return true;
  }
  return false;
}

// A new block whose page is not marked yet. When it cannot be marked the block goes back
// to jemalloc: unmarked, the host could never free it, and would hand it to its own
// routine. The host gets null then, as from jemalloc.
__attribute__((cold, noinline)) void* mark_new(void* p) {
  if (mark_page(p)) return p;
  if (p != nullptr) bound_free(p);
  prim_no_memory();
  return nullptr;
}

// The same for a reallocated block. A page that cannot be marked means jemalloc moved the
// block, so the old one is gone and null would lose its contents: they move on to a block
// that routes rightly, jemalloc's where its page can be marked, else one of the host's
// routine. Null only when neither can be had.
__attribute__((cold, noinline)) void* mark_moved(void* moved, size_t size) {
  if (mark_page(moved) || moved == nullptr) return moved;
  void* to = bound_malloc(size);
  if (to != nullptr && !mark_page(to)) {
    bound_free(to);
    to = nullptr;
  }
  if (to == nullptr) to = fallback_realloc(nullptr, size);
  if (to != nullptr) memcpy(to, moved, size);
  bound_free(moved);
  if (to == nullptr) prim_no_memory();
  return to;
}

// Marks are never cleared, so routing is only sound while jemalloc keeps every address
// range it mapped (its retain option); else a host block could start in a marked page.
// A jemalloc that does not retain is not used, but stays loaded, as it may have started.
bool keeps_ranges(const jemalloc_entries& e) {
  bool retain = false;
  size_t size = sizeof retain;
  return e.mallctl("opt.retain", &retain, &size, nullptr, 0) == 0 && size == sizeof retain &&
         retain;
}
}  // namespace

void set_jemalloc_libraries(const char* const* names) { jemalloc_libraries = names; }

extern "C" {

EXPORT tarnheap_realloc_fn TARNHEAP_CALL init(tarnheap_realloc_fn fallback) {
  fallback_realloc = fallback != nullptr ? fallback : no_realloc;
  jemalloc_entries e;
  if (bind(&e) && keeps_ranges(e)) {
    // The map only once jemalloc is bound, and the library pinned with it, so an unload
    // and reload by the host finds the same map rather than reserving another.
    std::atomic<uintptr_t>* map = page_map_reserve();
    if (map != nullptr && prim_pin_self()) {
      bound_malloc = e.malloc;
      bound_calloc = e.calloc;
      bound_realloc = e.realloc;
      bound_free = e.free;
      page_map_enable(map);
      return fallback;
    }
  }
  if (page_map_limit == 0) {
    // Unavailable, or unsound to route, and never bound before: serve everything
    // through the host.
    bound_malloc = host_malloc;
    bound_calloc = host_calloc;
  }
  // A failed rebind keeps the earlier binding: the blocks already marked belong to that
  // jemalloc, which stays loaded, and only it may reallocate or free them.
  return fallback;
}

EXPORT HOT void* TARNHEAP_CALL tarnheap(size_t size) {
  void* p = bound_malloc(size);
  if (!is_marked(p)) return mark_new(p);
  return p;
}

EXPORT HOT void* TARNHEAP_CALL rcalloc(size_t count, size_t size) {
  void* p = bound_calloc(count, size);
  if (!is_marked(p)) return mark_new(p);
  return p;
}

EXPORT HOT void* TARNHEAP_CALL rrealloc(void* block, size_t size) {
  if (!is_marked(block)) return fallback_realloc(block, size);
  void* p = bound_realloc(block, size);
  if (!is_marked(p)) return mark_moved(p, size);
  return p;
}

EXPORT HOT void TARNHEAP_CALL rfree(void* block) {
  if (is_marked(block)) bound_free(block);
}

}  // extern "C"
