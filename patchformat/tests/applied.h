// The writer's scripts read back with the product's reader and applier, for the tests
// and the fuzz target: the script must follow the format, turn the old data into the
// new and carry both right fingerprints. On top, the comment lines must be exactly the
// ones the writer writes, which the applier itself does not read.
#pragma once

#include <string>
#include <vector>

struct script_fields {
  std::string old_path, new_path, stamp, old_md5, new_md5;
  int blocks = 0;
};

// Reads script, checks its input fingerprint against old_data, applies the blocks into
// result and checks the output fingerprint. new_path is the ">" path without script_.
// Returns an empty string on success, else a description of the first fault found.
std::string apply_script(const std::string& script, const std::vector<unsigned char>& old_data,
                         std::vector<unsigned char>& result, script_fields& fields);
