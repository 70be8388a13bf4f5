// The patch script: its text format and the writer that produces it.
#pragma once

#include <cstdint>
#include <cstdio>

// Writes the whole script for turning old_data into new_data (both length bytes, which
// differ in at least one byte) to out. Paths, fingerprints and stamp go into the text
// unchanged. Write errors are left on the stream's error flag for the caller to check;
// once one is seen, the rest of the output is skipped.
void write_patch_script(std::FILE* out, const char* old_path, const char* new_path,
                        const unsigned char* old_data, const unsigned char* new_data,
                        int32_t length, const char* old_md5, const char* new_md5,
                        const char* stamp);
