// The one input buffer size both programs share.
#pragma once

#include <cstddef>
#include <cstdint>

// Capacity of an input buffer. A read that fills it is refused, so the largest input
// accepted is one byte smaller: 33,554,431 bytes.
constexpr int32_t INPUT_LIMIT = 0x2000000;

// Asks for [start, start+size) to be backed by large pages where no privilege is needed:
// a fresh 32 MiB buffer otherwise costs a page fault per 4 KiB. A hint only.
void prefer_large_pages(void* start, size_t size);
