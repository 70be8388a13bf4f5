#include "files.h"

std::FILE* open_input(const char* path) { return std::fopen(path, "rb"); }
