// The entry point: Unix hands arguments over as bytes, which are the names as typed.
#include "prim.h"

int main(int argc, char** argv) { return program_main(argc, argv); }

bool prim_arg_exact(int) { return true; }
