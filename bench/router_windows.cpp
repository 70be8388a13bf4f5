// The router on its home target: malloc(64)+free through tarnheap.dll, through direct
// calls to the same jemalloc.dll, through a library that only forwards to it and through
// that library's framed malloc (the floor for acting after jemalloc returns), side by
// side in one run, at 1 and 2 threads. Every side is called through function
// pointers, as a host that loads the libraries does. Rounds alternate between the sides
// in shuffled order; each side's median time per pair is reported with its ratio to the
// direct calls. Run in a folder that holds tarnheap.dll and jemalloc.dll, such as
//   cd build-win32/tarnheap/tests/jemalloc && ../../../wine-run ../../../bench/tarnheap_pair.exe
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "tarnheap_load.h"

namespace {
struct side {
  const char* name;
  void* (*malloc)(size_t);
  void (*free)(void*);
  std::vector<double> times;
};

template <typename F>
F entry(HMODULE module, const char* name) {
  FARPROC found = module != nullptr ? GetProcAddress(module, name) : nullptr;
  if (found == nullptr) {
    std::fprintf(stderr, "missing %s\n", name);
    std::exit(1);
  }
  return reinterpret_cast<F>(reinterpret_cast<void*>(found));
}

double now_ns() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return double(t.QuadPart) * 1e9 / double(frequency.QuadPart);
}

// Nanoseconds per pair over n pairs on the calling thread.
__attribute__((noinline)) double pairs(const side& s, int n) {
  double start = now_ns();
  for (int i = 0; i < n; ++i) {
    void* p = s.malloc(64);
    asm volatile("" : : "r"(p) : "memory");
    s.free(p);
  }
  return (now_ns() - start) / n;
}

void* host_realloc(void* block, size_t size) { return std::realloc(block, size); }
}  // namespace

int main() {
  tarnheap_api api;
  if (tarnheap_load(&api, nullptr) != 0) {
    std::fprintf(stderr, "cannot load tarnheap.dll\n");
    return 1;
  }
  api.init(host_realloc);
  HMODULE jemalloc = GetModuleHandleA("jemalloc.dll");
  HMODULE shim = LoadLibraryA("bench_shim.dll");
  entry<void (*)(void* (*)(size_t), void* (*)(void*, size_t), void (*)(void*))>(shim, "shim_bind")(
      entry<void* (*)(size_t)>(jemalloc, "je_malloc"),
      entry<void* (*)(void*, size_t)>(jemalloc, "je_realloc"),
      entry<void (*)(void*)>(jemalloc, "je_free"));

  // A router that fell back to the host would time the C library instead.
  bool retain = false;
  size_t size = sizeof retain;
  auto mallctl = entry<int (*)(const char*, void*, size_t*, void*, size_t)>(jemalloc, "je_mallctl");
  if (mallctl("opt.retain", &retain, &size, nullptr, 0) != 0 || !retain) {
    std::fprintf(stderr, "jemalloc does not retain: the router does not use it\n");
    return 1;
  }

  for (int threads : {1, 2}) {
    std::vector<side> sides = {
        {"direct",
         entry<void* (*)(size_t)>(jemalloc, "je_malloc"),
         entry<void (*)(void*)>(jemalloc, "je_free"),
         {}},
        {"shim",
         entry<void* (*)(size_t)>(shim, "shim_malloc"),
         entry<void (*)(void*)>(shim, "shim_free"),
         {}},
        {"framed",
         entry<void* (*)(size_t)>(shim, "shim_malloc_framed"),
         entry<void (*)(void*)>(shim, "shim_free"),
         {}},
        {"router", api.tarnheap, api.rfree, {}},
    };
    std::mt19937 random(1);
    std::vector<size_t> order(sides.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (int round = 0; round < 25; ++round) {
      std::shuffle(order.begin(), order.end(), random);
      for (size_t k : order) {
        std::vector<double> each(threads);
        std::vector<std::thread> running;
        for (int t = 0; t < threads; ++t) {
          running.emplace_back([&, t] { each[t] = pairs(sides[k], 1000000); });
        }
        for (std::thread& t : running) t.join();
        double sum = 0;
        for (double x : each) sum += x;
        sides[k].times.push_back(sum / threads);
      }
    }
    double direct = 0;
    for (side& s : sides) {
      std::sort(s.times.begin(), s.times.end());
      double median = s.times[s.times.size() / 2];
      if (direct == 0) direct = median;
      std::printf("pair64 %-6s threads:%d  %6.2f ns  %.3fx\n", s.name, threads, median,
                  median / direct);
    }
  }
  return 0;
}
