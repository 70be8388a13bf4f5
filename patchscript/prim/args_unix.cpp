// Unix hands arguments over as bytes, which are the names as typed.
#include "args.h"

int main(int argc, char** argv) { return patchscript_main(argc, argv); }

bool arg_is_exact(int) { return true; }
