// Binding the MD5 routines: a missing library fails without touching the text, a
// failed binding is retried, and a binding once made is kept. A binary of its own, so
// that nothing has bound the routines before it runs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "md5.h"
#include "md5_seam.h"

namespace {

TEST(Md5, MissingLibraryFailsThenBindsAndKeepsTheBinding) {
  char text[33];
  std::memset(text, '#', sizeof text);
  const unsigned char data[] = "abc";

  md5_use_library("tarnkit-no-such-md5-library");
  EXPECT_EQ(md5_hex(data, 3, text), -1);
  EXPECT_EQ(std::string(text, sizeof text), std::string(33, '#')) << "text must stay untouched";

  // A library that loads but lacks the routines is a failure too (and is released).
#ifdef _WIN32
  md5_use_library("kernel32.dll");
#else
  md5_use_library("libc.so.6");
#endif
  EXPECT_EQ(md5_hex(data, 3, text), -1);

  // A failed binding is not remembered: the next attempt binds the real routines.
  md5_use_library(nullptr);
  EXPECT_EQ(md5_hex(data, 3, text), 0);
  EXPECT_STREQ(text, "900150983cd24fb0d6963f7d28e17f72");

  // Once bound, the routines are kept: no further lookup happens.
  md5_use_library("tarnkit-no-such-md5-library");
  EXPECT_EQ(md5_hex(data, 3, text), 0);
  md5_use_library(nullptr);
}

}  // namespace
