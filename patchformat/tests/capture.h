// Runs the writer into a scratch file and returns what it wrote.
#pragma once

#include <cstdio>
#include <string>

#include "script.h"

inline std::string read_back(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buf[1 << 16];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  return text;
}

// The writer's output for the two buffers, with fixed fingerprints and stamp unless
// given. Binary mode, so the text is the same on every platform.
inline std::string script_for(const std::string& old_data, const std::string& new_data,
                              const char* old_path = "a.old", const char* new_path = "a.new",
                              const char* old_md5 = "00000000000000000000000000000000",
                              const char* new_md5 = "ffffffffffffffffffffffffffffffff") {
  const char* name = "capture.tmp";
  std::FILE* f = std::fopen(name, "w+b");
  if (f == nullptr) return "(cannot open scratch file)";
  write_patch_script(f, old_path, new_path, reinterpret_cast<const unsigned char*>(old_data.data()),
                     reinterpret_cast<const unsigned char*>(new_data.data()),
                     int32_t(old_data.size()), old_md5, new_md5, "STAMP");
  std::string text = read_back(f);
  std::fclose(f);
  std::remove(name);
  return text;
}
