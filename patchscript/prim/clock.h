// The calendar clock in 64-bit seconds on every target: a 32-bit time_t (msvcrt's time
// and localtime on 32-bit Windows) runs out in January 2038. One file per platform.
#pragma once

#include <cstdint>
#include <ctime>

// Seconds since 1970-01-01 00:00:00 UTC, or -1 when the clock cannot be read.
int64_t clock_now();

// Breaks t down into local time. False when the platform cannot represent it.
bool clock_local(int64_t t, std::tm* out);
