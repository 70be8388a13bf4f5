#include "confine.h"

namespace {

// A device name in a part of a path: CON, NUL, COM1 and the like name devices in any
// folder, with any extension and trailing spaces.
bool names_device(const std::string& part) {
  std::string stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = char(c >= 'a' && c <= 'z' ? c - 32 : c);
  static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* d : devices)
    if (stem == d) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '0' && stem[3] <= '9';
}

// The first part of path, folder by folder, that climbs out with ".." or, by Windows'
// rules, names a device. Windows drops trailing dots and spaces from a name, so there
// ".. " and "..." climb too.
path_fault part_fault(const std::string& path, bool windows) {
  for (size_t start = 0; start <= path.size();) {
    size_t end = start;
    while (end < path.size() && !is_separator(path[end], windows)) ++end;
    std::string part = path.substr(start, end - start);
    start = end + 1;
    bool dots = part.find_first_not_of(". ") == std::string::npos;
    if (part == ".." || (windows && dots && part.find('.') != part.rfind('.')))
      return path_fault::leaves;
    if (windows && names_device(part)) return path_fault::device;
  }
  return path_fault::none;
}

}  // namespace

bool is_separator(char c, bool windows) { return c == '/' || (windows && c == '\\'); }

path_fault confine_fault(const std::string& path, bool windows) {
  if (windows) {
    // The prefixes first: a UNC name starts with separators too.
    if (path.size() >= 2 && is_separator(path[0], true) && is_separator(path[1], true))
      return path_fault::prefix;
    if (path.find(':') != std::string::npos) return path_fault::colon;
    path_fault fault = part_fault(path, true);
    if (fault != path_fault::none) return fault;
  }
  // A script that patchscript wrote never starts with a separator: its ">" path is
  // script_ and the name it was given.
  if (path.empty() || is_separator(path[0], windows)) return path_fault::absolute;
  return part_fault(path, windows);
}
