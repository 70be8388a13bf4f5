// The generation time text, including clock faults that must not stop the script.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>

#include "stamp.h"

namespace {

std::string stamp_of(std::time_t t, size_t cap = 4096) {
  char out[4096] = "untouched";
  make_stamp(t, out, cap);
  return out;
}

TEST(Stamp, LocalTimeInTheFixedPattern) {
  // 2001-09-09 01:46:40 UTC: in any time zone the year is 2001 and the seconds are 40.
  std::string s = stamp_of(1000000000);
  EXPECT_TRUE(std::regex_match(s, std::regex("2001/09/(08|09|10) [0-2][0-9]:[0-5][0-9]:40"))) << s;
}

TEST(Stamp, ClockFaultsGiveUnknown) {
  EXPECT_EQ(stamp_of(std::time_t(-1)), "unknown");
  // Far beyond any calendar the conversion can represent.
  EXPECT_EQ(stamp_of(std::time_t(INT64_MAX)), "unknown");
  // A tiny buffer truncates rather than overflows.
  EXPECT_EQ(stamp_of(std::time_t(INT64_MAX), 4), "unk");
}

}  // namespace
