#include "stamp.h"

#include <cstdio>

void make_stamp(std::time_t now, char* out, size_t cap) {
  if (cap == 0) return;
  const std::tm* local = now == std::time_t(-1) ? nullptr : std::localtime(&now);
  if (local == nullptr || std::strftime(out, cap, "%Y/%m/%d %H:%M:%S", local) == 0)
    std::snprintf(out, cap, "unknown");
}
