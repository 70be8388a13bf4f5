// msvcrt's time and localtime take a 32-bit time_t in a 32-bit build; its _time64 and
// _localtime64 run to the year 3000.
#include <ctime>

#include "clock.h"

int64_t clock_now() { return _time64(nullptr); }

bool clock_local(int64_t t, std::tm* out) {
  __time64_t now = t;
  const std::tm* local = _localtime64(&now);
  if (local == nullptr) return false;
  *out = *local;
  return true;
}
