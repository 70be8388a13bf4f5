// Where a script may write, by Linux's rules and by Windows' (checked on every platform).
#include "confine.h"

#include <gtest/gtest.h>

namespace {

TEST(Confine, PathsThatLeaveTheFolder) {
  using f = path_fault;
  const struct {
    const char* path;
    path_fault on_linux, on_windows;
  } cases[] = {
      {"script_a.new", f::none, f::none},
      {"dir/x", f::none, f::none},
      {"../x", f::leaves, f::leaves},
      {"dir/../../x", f::leaves, f::leaves},
      {"/tmp/x", f::absolute, f::absolute},
      {"", f::absolute, f::absolute},
      // Names that mean nothing special on Linux are kept there.
      {"..\\x", f::none, f::leaves},
      {"d/.. /x", f::none, f::leaves},
      {"...", f::none, f::leaves},
      {"\\x", f::none, f::absolute},
      {"a:b\\c", f::none, f::colon},
      {"C:x", f::none, f::colon},
      {"Z:\\tmp\\x", f::none, f::colon},
      {"x:stream", f::none, f::colon},
      {"\\\\server\\share\\x", f::none, f::prefix},
      {"//?/C:/x", f::absolute, f::prefix},
      {"d/nul.txt", f::none, f::device},
      {"COM1", f::none, f::device},
      {"con .log", f::none, f::device},
      {"COM", f::none, f::none},
      {"lpt9/x", f::none, f::device},
      {"CONOUT$", f::none, f::device},
      {"/COM1", f::absolute, f::device},  // the first part that names a device
  };
  for (const auto& c : cases) {
    EXPECT_EQ(confine_fault(c.path, false), c.on_linux) << c.path;
    EXPECT_EQ(confine_fault(c.path, true), c.on_windows) << c.path;
  }
}

}  // namespace
