// The generation time written into the script's second line.
#pragma once

#include <cstddef>
#include <cstdint>

// Formats now (seconds since 1970, UTC) as local time, "YYYY/MM/DD HH:MM:SS", into out
// (capacity cap). When the clock failed (now is -1) or the local-time conversion fails,
// writes "unknown" instead: the stamp is a comment, and no clock fault may stop the
// script.
void make_stamp(int64_t now, char* out, size_t cap);
