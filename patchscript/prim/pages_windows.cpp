#include "pages.h"

// Large pages on Windows need the "lock pages in memory" privilege and memory of their
// own, not a hint on existing memory, so there is nothing to ask for here.
void prefer_large_pages(void*, size_t) {}
