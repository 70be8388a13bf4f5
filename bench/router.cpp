// The router's cost in front of jemalloc: each workload runs through the library's
// exports, through direct calls to the same jemalloc entries, and through a library that
// only forwards to them, side by side in one run, at 1 and 2 threads; the pair also
// through that library's framed malloc, which calls jemalloc and returns: the floor for
// a library that acts after jemalloc returns, as the router does when it marks. Every
// side calls through function pointers, as a host that loads the library does. Before the
// timings it reports the map's address space and resident memory, against direct jemalloc
// in processes of their own. Compare medians of a run such as
//   build/bench/tarnheap_bench --benchmark_repetitions=10
//   --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
// (one command line).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The entries of the jemalloc the router binds, its own beside the library, started as
// init starts it; false when it is not loaded.
bool load_direct(int mode) {
  std::string library = TARNHEAP_LIBRARY;
  library = library.substr(0, library.rfind('/') + 1) + "libtarnheap-jemalloc.so";
  void* jemalloc = dlopen(library.c_str(), mode);
  if (jemalloc == nullptr) return false;
  direct = {lookup<void* (*)(size_t)>(jemalloc, "je_malloc"),
            lookup<void* (*)(void*, size_t)>(jemalloc, "je_realloc"),
            lookup<void (*)(void*)>(jemalloc, "je_free")};
  bool retain = false;
  size_t size = sizeof retain;
  lookup<int (*)(const char*, void*, size_t*, void*, size_t)>(jemalloc, "je_mallctl")(
      "opt.retain", &retain, &size, nullptr, 0);
  return true;
}

void load() {
  tarnheap_api api;
  if (tarnheap_load(&api, TARNHEAP_LIBRARY) != 0) {
    fprintf(stderr, "cannot load %s\n", TARNHEAP_LIBRARY);
    exit(1);
  }
  api.init(realloc);
  routed = {api.tarnheap, api.rrealloc, api.rfree};
  // The jemalloc the router bound, now loaded.
  if (!load_direct(RTLD_NOW | RTLD_NOLOAD)) {
    fprintf(stderr, "jemalloc was not bound\n");
    exit(1);
  }
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

// The process's address space and resident memory, from /proc/self/status.
struct vm {
  long size_kib = -1, rss_kib = -1;
};
vm vm_now() {
  vm v;
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return v;
  char line[256];
  while (fgets(line, sizeof line, status) != nullptr) {
    sscanf(line, "VmSize: %ld", &v.size_kib);
    sscanf(line, "VmRSS: %ld", &v.rss_kib);
  }
  fclose(status);
  return v;
}

// What the map costs: a process of its own binds the router, looks up 100,000 pointers
// scattered over the 47-bit space (rfree leaves them alone: nothing is marked there) and
// allocates 10^6 blocks of 4 KiB, spread over 4 GiB; another does the same directly with
// the same jemalloc, without the map. Each reports VmSize and VmRSS at each point.
const char* const points[] = {"before binding", "after binding", "after 100,000 lookups",
                              "after 10^6 live blocks over 4 GiB"};

void memory_points(bool through_router, vm out[4]) {
  out[0] = vm_now();
  if (through_router) {
    load();
  } else {
    // The same libraries loaded, but the router not bound: no map.
    tarnheap_api api;
    if (tarnheap_load(&api, TARNHEAP_LIBRARY) != 0 || dlopen(SHIM_LIBRARY, RTLD_NOW) == nullptr ||
        !load_direct(RTLD_NOW | RTLD_LOCAL)) {
      exit(1);
    }
  }
  allocator a = through_router ? routed : direct;
  out[1] = vm_now();
  std::mt19937_64 random(1);
  for (int i = 0; i < 100000 && through_router; ++i) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): pointers anywhere in the space.
    routed.free(reinterpret_cast<void*>(random() & ((1ull << 47) - 1)));
  }
  out[2] = vm_now();
  std::vector<void*> blocks(1000000);
  for (void*& b : blocks) b = a.malloc(4096);
  out[3] = vm_now();
  for (void* b : blocks) a.free(b);
}

void report_map_memory() {
  vm side[2][4];
  for (int s = 0; s < 2; ++s) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) exit(1);
    pid_t child = fork();
    if (child == 0) {
      memory_points(s == 0, side[s]);
      ssize_t written = write(pipe_ends[1], side[s], sizeof side[s]);
      _exit(written == ssize_t(sizeof side[s]) ? 0 : 1);
    }
    close(pipe_ends[1]);
    if (read(pipe_ends[0], side[s], sizeof side[s]) != ssize_t(sizeof side[s])) exit(1);
    close(pipe_ends[0]);
    waitpid(child, nullptr, 0);
  }
  printf("%-34s %21s %21s %21s\n", "VmSize / VmRSS, KiB", "router", "direct jemalloc",
         "router - direct");
  for (int i = 0; i < 4; ++i) {
    const vm& r = side[0][i];
    const vm& d = side[1][i];
    printf("%-34s %10ld %10ld %10ld %10ld %10ld %10ld\n", points[i], r.size_kib, r.rss_kib,
           d.size_kib, d.rss_kib, r.size_kib - d.size_kib, r.rss_kib - d.rss_kib);
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
  // --no-memory leaves out the memory report, as when counting instructions.
  if (argc > 1 && strcmp(argv[1], "--no-memory") == 0) {
    argv[1] = argv[0];
    --argc;
    ++argv;
  } else {
    report_map_memory();
  }
  load();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
