// The router's cost in front of jemalloc: each workload runs through the library's
// exports, through direct calls to the same jemalloc entries, and through a library that
// only forwards to them, side by side in one run, at 1 and 2 threads; the pair also
// through that library's framed malloc, which calls jemalloc and returns: the floor for
// a library that acts after jemalloc returns, as the router does when it marks. Every
// side calls through function pointers, as a host that loads the library does. Before the timings
// it reports the map's resident memory with 10^6 live blocks. Compare medians of a run such as
//   build/bench/tarnheap_bench --benchmark_repetitions=10
//   --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
// (one command line).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tarnheap_load.h"

namespace {
struct allocator {
  void* (*malloc)(size_t);
  void* (*realloc)(void*, size_t);
  void (*free)(void*);
};
allocator routed, direct, shim, framed;

template <typename F>
F lookup(void* module, const char* name) {
  void* symbol = dlsym(module, name);
  if (symbol == nullptr) {
    fprintf(stderr, "missing %s\n", name);
    exit(1);
  }
  return reinterpret_cast<F>(symbol);
}

void load() {
  tarnheap_api api;
  if (tarnheap_load(&api, TARNHEAP_LIBRARY) != 0) {
    fprintf(stderr, "cannot load %s\n", TARNHEAP_LIBRARY);
    exit(1);
  }
  api.init(realloc);
  routed = {api.tarnheap, api.rrealloc, api.rfree};
  // The jemalloc the router bound, its own, beside the library.
  std::string library = TARNHEAP_LIBRARY;
  library = library.substr(0, library.rfind('/') + 1) + "libtarnheap-jemalloc.so";
  void* jemalloc = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (jemalloc == nullptr) {
    fprintf(stderr, "jemalloc was not bound (%s)\n", library.c_str());
    exit(1);
  }
  direct = {lookup<void* (*)(size_t)>(jemalloc, "je_malloc"),
            lookup<void* (*)(void*, size_t)>(jemalloc, "je_realloc"),
            lookup<void (*)(void*)>(jemalloc, "je_free")};
  void* forwarder = dlopen(SHIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (forwarder == nullptr) {
    fprintf(stderr, "%s\n", dlerror());
    exit(1);
  }
  lookup<void (*)(void* (*)(size_t), void* (*)(void*, size_t), void (*)(void*))>(
      forwarder, "shim_bind")(direct.malloc, direct.realloc, direct.free);
  shim = {lookup<void* (*)(size_t)>(forwarder, "shim_malloc"),
          lookup<void* (*)(void*, size_t)>(forwarder, "shim_realloc"),
          lookup<void (*)(void*)>(forwarder, "shim_free")};
  framed = {lookup<void* (*)(size_t)>(forwarder, "shim_malloc_framed"), shim.realloc, shim.free};
}

void pair64(benchmark::State& state, const allocator* side) {
  const allocator& a = *side;
  for (auto _ : state) {
    void* p = a.malloc(64);
    benchmark::DoNotOptimize(p);
    a.free(p);
  }
}

// 1,024 blocks of 16 to 4,096 bytes, a quarter of them reallocated to 8 KiB, all freed
// in shuffled order. The same sizes and orders for every side and every thread.
struct batch_plan {
  std::vector<size_t> sizes;
  std::vector<size_t> grown;
  std::vector<size_t> order;
};

const batch_plan& plan() {
  static const batch_plan p = [] {
    batch_plan b;
    std::mt19937 random(12345);
    std::uniform_int_distribution<size_t> size(16, 4096);
    for (int i = 0; i < 1024; ++i) b.sizes.push_back(size(random));
    for (size_t i = 0; i < 1024; ++i) b.order.push_back(i);
    std::shuffle(b.order.begin(), b.order.end(), random);
    b.grown.assign(b.order.begin(), b.order.begin() + 256);
    std::shuffle(b.order.begin(), b.order.end(), random);
    return b;
  }();
  return p;
}

void batch(benchmark::State& state, const allocator* side) {
  const allocator& a = *side;
  const batch_plan& p = plan();
  std::vector<void*> blocks(p.sizes.size());
  for (auto _ : state) {
    for (size_t i = 0; i < blocks.size(); ++i) blocks[i] = a.malloc(p.sizes[i]);
    for (size_t i : p.grown) blocks[i] = a.realloc(blocks[i], 8192);
    for (size_t i : p.order) a.free(blocks[i]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(blocks.size()));
}

// Resident size of the map: the one anonymous mapping of exactly its size.
long map_resident_kib() {
  const unsigned long map_size = 1ul << 35;
  FILE* smaps = fopen("/proc/self/smaps", "r");
  if (smaps == nullptr) return -1;
  char line[512];
  bool in_map = false;
  long kib = -1;
  while (fgets(line, sizeof line, smaps) != nullptr) {
    unsigned long start, end;
    if (sscanf(line, "%lx-%lx ", &start, &end) == 2) {
      in_map = end - start == map_size;
    } else if (in_map && strncmp(line, "Rss:", 4) == 0) {
      kib = strtol(line + 4, nullptr, 10);
    }
  }
  fclose(smaps);
  return kib;
}

void report_map_memory() {
  printf("map resident before any block: %ld KiB\n", map_resident_kib());
  std::mt19937 random(1);
  std::uniform_int_distribution<size_t> mixed(16, 4096);
  for (bool is_mixed : {false, true}) {
    std::vector<void*> blocks(1000000);
    for (void*& b : blocks) b = routed.malloc(is_mixed ? mixed(random) : 64);
    printf("map resident with 10^6 live blocks of %s: %ld KiB\n",
           is_mixed ? "16 to 4096 bytes" : "64 bytes", map_resident_kib());
    for (void* b : blocks) routed.free(b);
  }
  fflush(stdout);
}
}  // namespace

BENCHMARK_CAPTURE(pair64, direct, &direct)->Threads(1)->Threads(2);
BENCHMARK_CAPTURE(pair64, shim, &shim)->Threads(1)->Threads(2);
BENCHMARK_CAPTURE(pair64, framed, &framed)->Threads(1)->Threads(2);
BENCHMARK_CAPTURE(pair64, router, &routed)->Threads(1)->Threads(2);
BENCHMARK_CAPTURE(batch, direct, &direct)->Threads(1)->Threads(2);
BENCHMARK_CAPTURE(batch, shim, &shim)->Threads(1)->Threads(2);
BENCHMARK_CAPTURE(batch, router, &routed)->Threads(1)->Threads(2);

int main(int argc, char** argv) {
  load();
  report_map_memory();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
