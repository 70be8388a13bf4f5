#include "walk.h"

#include "confine.h"

dir_fault walk(const char* base, const std::string& path, bool confined, prim_dir& dir,
               std::string& name) {
  bool windows = prim_windows_paths();
  size_t cut = path.size();
  while (cut > 0 && !is_separator(path[cut - 1], windows)) --cut;
  // A drive on Windows ("C:x") is a folder of its own.
  if (cut == 0 && windows && path.size() >= 2 && path[1] == ':') cut = 2;
  name = path.substr(cut);
  std::string folders = path.substr(0, cut);

  dir_fault fault = prim_dir_open(base, dir);
  if (fault != dir_fault::none || folders.empty()) return fault;
  if (!confined) return prim_dir_enter(dir, folders, true);
  for (size_t start = 0; start < folders.size() && fault == dir_fault::none;) {
    size_t end = start;
    while (end < folders.size() && !is_separator(folders[end], windows)) ++end;
    std::string part = folders.substr(start, end - start);
    start = end + 1;
    if (!part.empty() && part != ".") fault = prim_dir_enter(dir, part, false);
  }
  return fault;
}
