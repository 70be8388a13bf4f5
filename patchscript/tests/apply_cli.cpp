// apply_script SCRIPT OLD OUT: the test applier as a program, for round trips through
// the real binary. The script is read in text mode, as a tool on the same platform
// would, so CR LF line ends count as plain newlines.
#include <cstdio>
#include <string>
#include <vector>

#include "apply.h"

namespace {
bool read_file(const char* path, const char* mode, std::string& out) {
  std::FILE* f = std::fopen(path, mode);
  if (f == nullptr) return false;
  char buf[1 << 16];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s SCRIPT OLD OUT\n", argv[0]);
    return 2;
  }
  std::string script, old_text;
  if (!read_file(argv[1], "r", script) || !read_file(argv[2], "rb", old_text)) {
    std::fprintf(stderr, "cannot read the inputs\n");
    return 2;
  }
  std::vector<unsigned char> old_data(old_text.begin(), old_text.end()), result;
  script_fields fields;
  std::string fault = apply_script(script, old_data, result, fields);
  if (!fault.empty()) {
    std::fprintf(stderr, "%s\n", fault.c_str());
    return 1;
  }
  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr || std::fwrite(result.data(), 1, result.size(), out) != result.size() ||
      std::fclose(out) != 0) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 2;
  }
  return 0;
}
