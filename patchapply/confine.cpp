#include "confine.h"

#include "prim/prim.h"

path_fault confine_fault(const std::string& path) {
  // The platform's own prefixes first: a UNC name starts with separators too.
  path_fault fault = prim_path_fault(path);
  if (fault != path_fault::none) return fault;
  // A script that patchscript wrote never starts with a separator: its ">" path is
  // script_ and the name it was given.
  if (path.empty() || prim_separator(path[0])) return path_fault::absolute;
  for (size_t start = 0; start <= path.size();) {
    size_t end = start;
    while (end < path.size() && !prim_separator(path[end])) ++end;
    if (path.compare(start, end - start, "..") == 0) return path_fault::leaves;
    start = end + 1;
  }
  return path_fault::none;
}
