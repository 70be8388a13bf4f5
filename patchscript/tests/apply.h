// A strict reader and applier of patch scripts, for tests only: it holds the writer's
// output to every rule of the format and proves that the script really turns the old
// data into the new.
#pragma once

#include <string>
#include <vector>

struct script_fields {
  std::string old_path, new_path, stamp, old_md5, new_md5;
  int blocks = 0;
};

// Checks script (lines ending in "\n") against the format, checks the input fingerprint
// against old_data, applies the blocks into result and checks the output fingerprint.
// Returns an empty string on success, else a description of the first fault found.
std::string apply_script(const std::string& script, const std::vector<unsigned char>& old_data,
                         std::vector<unsigned char>& result, script_fields& fields);
