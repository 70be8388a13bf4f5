#include "input.h"

#include <cstdio>

#include "file.h"
#include "out.h"
#include "prim/prim.h"
#include "program.h"
#include "text.h"

int32_t load_input(unsigned char* buffer, const char* path) {
  std::FILE* file = prim_open_input(path);
  if (file == nullptr) error_exit("can't open file: %s", ansi_shown(path).c_str());
  // patchscript a.old a.new >> a.old would append the script to its own input.
  if (out_is(identify(file)))
    error_exit("standard output is an input file: %s", ansi_shown(path).c_str());

  prefer_large_pages(buffer, INPUT_LIMIT);

  // One request for the whole capacity. A count short of it is the file's length only
  // when the stream stopped at end of file; an error partway is a failed read, never a
  // shorter file.
  size_t count = std::fread(buffer, 1, INPUT_LIMIT, file);
  if (std::ferror(file) || (count < size_t(INPUT_LIMIT) && !std::feof(file)) || count == 0)
    error_exit("read failed");
  if (count > size_t(INPUT_LIMIT) - 1) error_exit("data buffer is too small");

  std::fclose(file);
  return int32_t(count);
}
