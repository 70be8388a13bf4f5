// The router on Windows, side by side in one run, every side called through function
// pointers as a host that loads the libraries calls them:
//  - the map's committed memory (its reservations walked with VirtualQuery) and the
//    growth of the process's private bytes (GetProcessMemoryInfo), after binding, after
//    100,000 lookups scattered over the user address space and with live blocks of 4 KiB
//    over 4 GiB; through the router and directly, each in a process of its own (the
//    program with --memory router or --memory direct);
//  - malloc(64)+free through tarnheap.dll, through direct calls to the same jemalloc.dll,
//    through a library that only forwards to it and through that library's framed malloc
//    (the floor for acting after jemalloc returns), at 1 and 2 threads;
//  - a mixed batch (the Linux benchmark's: 1,024 blocks of 16 to 4,096 bytes, a quarter
//    grown to 8 KiB, freed in shuffled order) through the router, directly and through
//    the forwarder, in 3 processes of its own (the program with --batch), with the
//    median of their ratios.
// Rounds alternate between the sides in shuffled order; each side's median time is
// reported with its ratio to the direct calls. Run in a folder that holds tarnheap.dll
// and jemalloc.dll, such as
//   cd build-win64/tarnheap/tests/jemalloc && ../../../wine-run ../../../bench/tarnheap_bench.exe
#include <windows.h>

#include <psapi.h>  // after windows.h, which it needs

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "page_map.h"
#include "tarnheap_load.h"

namespace {
struct allocator {
  const char* name;
  void* (*malloc)(size_t);
  void* (*realloc)(void*, size_t);
  void (*free)(void*);
  void* (*malloc_framed)(size_t);
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

void* host_realloc(void* block, size_t size) { return std::realloc(block, size); }

// The router bound to jemalloc, the same jemalloc directly, and the forwarder.
struct sides {
  allocator direct, shim, router;
};

// Through the router, or with the router loaded but not bound (no map) and jemalloc.dll
// loaded directly.
sides load(bool bind = true) {
  tarnheap_api api;
  if (tarnheap_load(&api, nullptr) != 0) {
    std::fprintf(stderr, "cannot load tarnheap.dll\n");
    std::exit(1);
  }
  if (bind) api.init(host_realloc);
  HMODULE jemalloc = bind ? GetModuleHandleA("jemalloc.dll") : LoadLibraryA("jemalloc.dll");
  // A router that fell back to the host would time the C library instead.
  bool retain = false;
  size_t size = sizeof retain;
  auto mallctl = entry<int (*)(const char*, void*, size_t*, void*, size_t)>(jemalloc, "je_mallctl");
  if (mallctl("opt.retain", &retain, &size, nullptr, 0) != 0 || !retain) {
    std::fprintf(stderr, "jemalloc does not retain: the router does not use it\n");
    std::exit(1);
  }
  sides s;
  s.direct = {"direct", entry<void* (*)(size_t)>(jemalloc, "je_malloc"),
              entry<void* (*)(void*, size_t)>(jemalloc, "je_realloc"),
              entry<void (*)(void*)>(jemalloc, "je_free"), nullptr};
  s.direct.malloc_framed = s.direct.malloc;
  HMODULE shim = LoadLibraryA("bench_shim.dll");
  entry<void (*)(void* (*)(size_t), void* (*)(void*, size_t), void (*)(void*))>(shim, "shim_bind")(
      s.direct.malloc, s.direct.realloc, s.direct.free);
  s.shim = {"shim", entry<void* (*)(size_t)>(shim, "shim_malloc"),
            entry<void* (*)(void*, size_t)>(shim, "shim_realloc"),
            entry<void (*)(void*)>(shim, "shim_free"),
            entry<void* (*)(size_t)>(shim, "shim_malloc_framed")};
  s.router = {"router", api.tarnheap, api.rrealloc, api.rfree, nullptr};
  return s;
}

// Times each workload (nanoseconds per unit on one thread) in rounds over all of them in
// shuffled order, on 1 and 2 threads at once; prints each median and its ratio to the
// first and returns the ratios, the first workload's own included.
struct workload {
  std::string name;
  double (*run)(const allocator&, bool);
  const allocator* side;
  bool framed;
};

std::vector<double> compare(const char* what, const std::vector<workload>& work, int threads,
                            int rounds) {
  std::vector<std::vector<double>> times(work.size());
  std::mt19937 random(1);
  std::vector<size_t> order(work.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (int round = 0; round < rounds; ++round) {
    std::shuffle(order.begin(), order.end(), random);
    for (size_t k : order) {
      std::vector<double> each(threads);
      std::vector<std::thread> running;
      for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] { each[t] = work[k].run(*work[k].side, work[k].framed); });
      }
      for (std::thread& t : running) t.join();
      double sum = 0;
      for (double x : each) sum += x;
      times[k].push_back(sum / threads);
    }
  }
  std::vector<double> ratios;
  double first = 0;
  for (size_t k = 0; k < work.size(); ++k) {
    std::sort(times[k].begin(), times[k].end());
    double median = times[k][times[k].size() / 2];
    if (k == 0) first = median;
    ratios.push_back(median / first);
    std::printf("%s %-6s threads:%d  %8.2f ns  %.3fx\n", what, work[k].name.c_str(), threads,
                median, median / first);
  }
  std::fflush(stdout);
  return ratios;
}

// Nanoseconds per malloc(64)+free pair.
__attribute__((noinline)) double pairs(const allocator& a, bool framed) {
  const int n = 1000000;
  void* (*allocate)(size_t) = framed ? a.malloc_framed : a.malloc;
  double start = now_ns();
  for (int i = 0; i < n; ++i) {
    void* p = allocate(64);
    asm volatile("" : : "r"(p) : "memory");
    a.free(p);
  }
  return (now_ns() - start) / n;
}

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

// Nanoseconds per block of the batch.
__attribute__((noinline)) double batch(const allocator& a, bool) {
  const batch_plan& p = plan();
  const int n = 200;
  std::vector<void*> blocks(p.sizes.size());
  double start = now_ns();
  for (int i = 0; i < n; ++i) {
    for (size_t b = 0; b < blocks.size(); ++b) blocks[b] = a.malloc(p.sizes[b]);
    for (size_t b : p.grown) blocks[b] = a.realloc(blocks[b], 8192);
    for (size_t b : p.order) a.free(blocks[b]);
    asm volatile("" : : : "memory");
  }
  return (now_ns() - start) / (double(n) * double(blocks.size()));
}

// The committed bytes of the reservations shaped like the map's: its top with the shared
// leaf (on 32-bit its one leaf), and its leaves. Others of a leaf's size may exist, so
// what counts is the growth after binding.
long long map_shaped_committed() {
  const uintptr_t top = (FLAT ? 0 : TOP_SLOTS * sizeof(uintptr_t)) + LEAF_BYTES;
  MEMORY_BASIC_INFORMATION m;
  uintptr_t at = 0;
  void* base = nullptr;
  uintptr_t total = 0;
  long long committed = 0;
  long long found = 0;
  for (bool more = true; more;) {
    more = VirtualQuery(reinterpret_cast<void*>(at), &m, sizeof m) == sizeof m;
    if (!more || m.AllocationBase != base) {
      if (base != nullptr && (total == top || total == LEAF_BYTES)) found += committed;
      base = more ? m.AllocationBase : nullptr;
      total = 0;
      committed = 0;
    }
    if (!more) break;
    if (base != nullptr) total += m.RegionSize;
    if (m.State == MEM_COMMIT) committed += (long long)m.RegionSize;
    uintptr_t next = reinterpret_cast<uintptr_t>(m.BaseAddress) + m.RegionSize;
    more = next > at;
    at = next;
  }
  return found;
}

// The process's private bytes: its commit charge on Windows; under Wine its resident
// private memory, Wine's own bookkeeping of reserved pages included.
double private_mib() {
  PROCESS_MEMORY_COUNTERS c;
  c.cb = sizeof c;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) return -1;
  return double(c.PagefileUsage) / 1048576.0;
}

struct memory_base {
  double private_mib;
  long long map;
};
memory_base memory_now() { return {private_mib(), map_shaped_committed()}; }

void report_memory(const char* side, const char* when, const memory_base& before) {
  memory_base now = memory_now();
  std::printf("%-6s %-34s map committed %7.2f MiB, process private bytes %+9.2f MiB\n", side, when,
              double(now.map - before.map) / 1048576.0, now.private_mib - before.private_mib);
  std::fflush(stdout);
}

// The map's cost at three points, through the router or directly (the router loaded but
// not bound): after binding, after 100,000 lookups scattered over the user address
// space (47 bits on x86-64; rfree leaves them alone, as nothing is marked there) and
// with live blocks of 4 KiB over 4 GiB (400 MiB on 32-bit).
void memory_points(bool bind) {
  const char* side = bind ? "router" : "direct";
  memory_base before = memory_now();
  sides s = load(bind);
  const allocator& a = bind ? s.router : s.direct;
  report_memory(side, "after binding", before);
  std::mt19937_64 random(1);
  for (int i = 0; i < 100000 && bind; ++i) {
    a.free(reinterpret_cast<void*>(uintptr_t(random()) &
                                   (UINTPTR_MAX >> (sizeof(void*) == 8 ? 17 : 0))));
  }
  report_memory(side, "after 100,000 scattered lookups", before);
  std::vector<void*> blocks(sizeof(void*) == 8 ? 1000000 : 100000);
  for (void*& b : blocks) b = a.malloc(4096);
  report_memory(
      side,
      sizeof(void*) == 8 ? "with 10^6 live blocks of 4 KiB" : "with 10^5 live blocks of 4 KiB",
      before);
  for (void* b : blocks) a.free(b);
}

// The program run again with an option, in a process of its own; its output.
std::string in_child(const wchar_t* option) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n == MAX_PATH) std::exit(1);
  std::wstring command = L"\"" + std::wstring(self) + L"\" " + option;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end, write_end;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) std::exit(1);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = write_end;
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process;
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                      &process)) {
    std::fprintf(stderr, "cannot start a process of its own\n");
    std::exit(1);
  }
  CloseHandle(write_end);
  std::string out;
  char buffer[4096];
  DWORD got;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    out.append(buffer, got);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(read_end);
  std::fputs(out.c_str(), stdout);
  return out;
}

// The batch in a process of its own: its ratios to direct jemalloc, router last.
std::vector<double> batch_in_child() {
  std::string out = in_child(L"--batch");
  double one, two;
  size_t at = out.find("ratios ");
  if (at == std::string::npos || std::sscanf(out.c_str() + at, "ratios %lf %lf", &one, &two) != 2) {
    return {};
  }
  return {one, two};
}

std::vector<double> run_batch(const sides& s) {
  std::vector<workload> work = {{"direct", batch, &s.direct, false},
                                {"shim", batch, &s.shim, false},
                                {"router", batch, &s.router, false}};
  std::vector<double> router;
  for (int threads : {1, 2}) router.push_back(compare("batch", work, threads, 15).back());
  std::printf("ratios %.4f %.4f\n", router[0], router[1]);
  return router;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--batch") == 0) {
    run_batch(load());
    return 0;
  }
  if (argc > 2 && std::strcmp(argv[1], "--memory") == 0) {
    memory_points(std::strcmp(argv[2], "router") == 0);
    return 0;
  }
  in_child(L"--memory router");
  in_child(L"--memory direct");
  sides s = load();
  for (int threads : {1, 2}) {
    compare("pair64",
            {{"direct", pairs, &s.direct, false},
             {"shim", pairs, &s.shim, false},
             {"framed", pairs, &s.shim, true},
             {"router", pairs, &s.router, false}},
            threads, 25);
  }

  // Each process's own ratios; the median of the three for each thread count.
  std::vector<double> one, two;
  for (int i = 0; i < 3; ++i) {
    std::vector<double> r = batch_in_child();
    if (r.size() != 2) return 1;
    one.push_back(r[0]);
    two.push_back(r[1]);
  }
  std::sort(one.begin(), one.end());
  std::sort(two.begin(), two.end());
  std::printf("batch router/direct, median of 3 processes: threads:1 %.3fx  threads:2 %.3fx\n",
              one[1], two[1]);
  return 0;
}
