// Linked into a test build of patchscript whose MD5 library cannot be found, to
// exercise the "can't calculate md5" refusal end to end.
#include "md5_seam.h"

namespace {
const bool chosen = (md5_use_library("tarnkit-no-such-md5-library"), true);
}
