// The generation time text, including clock faults that must not stop the script.
#include <gtest/gtest.h>

#include <cstdint>
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
  const std::string shape = "2001/09/dd dd:dd:40";
  ASSERT_EQ(s.size(), shape.size()) << s;
  for (size_t i = 0; i < shape.size(); ++i)
    EXPECT_TRUE(shape[i] == 'd' ? s[i] >= '0' && s[i] <= '9' : s[i] == shape[i]) << s;
}

TEST(Stamp, ClockFaultsGiveUnknown) {
  EXPECT_EQ(stamp_of(std::time_t(-1)), "unknown");
  // Far beyond any calendar the conversion can represent.
  EXPECT_EQ(stamp_of(std::time_t(INT64_MAX)), "unknown");
  // A tiny buffer truncates rather than overflows.
  EXPECT_EQ(stamp_of(std::time_t(INT64_MAX), 4), "unk");
}

}  // namespace
