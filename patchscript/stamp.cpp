#include "stamp.h"

#include <cstdio>
#include <ctime>

#include "prim/prim.h"

void make_stamp(int64_t now, char* out, size_t cap) {
  if (cap == 0) return;
  std::tm local;
  if (now == -1 || !prim_clock_local(now, &local) ||
      std::strftime(out, cap, "%Y/%m/%d %H:%M:%S", &local) == 0)
    std::snprintf(out, cap, "unknown");
}
