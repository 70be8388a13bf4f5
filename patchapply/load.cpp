#include "load.h"

#include "walk.h"

load_fault load_file(const char* base, const std::string& path, bool in_place,
                     unsigned char* buffer, int32_t cap, int32_t* length, file_id* id,
                     prim_attrs* attrs) {
  prim_dir dir;
  std::string name;
  switch (walk(base, path, in_place, dir, name)) {
    case dir_fault::none:
      return prim_read(dir, name, in_place, buffer, cap, length, id, attrs);
    case dir_fault::link:
      return load_fault::folder_link;
    default:
      return load_fault::open;
  }
}
