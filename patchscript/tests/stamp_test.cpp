// The generation time text, including clock faults that must not stop the script.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "stamp.h"

namespace {

std::string stamp_of(int64_t t, size_t cap = 4096) {
  char out[4096] = "untouched";
  make_stamp(t, out, cap);
  return out;
}

TEST(Stamp, LocalTimeInTheFixedPattern) {
  // Mid-month instants, so that in any time zone only the day and the time of day vary:
  // 2001-09-09 01:46:40 UTC, and 2040-07-15 12:00:40 UTC, past the 32-bit time_t limit.
  for (const auto& [t, shape] : {std::pair<int64_t, std::string>{1000000000, "2001/09/dd dd:dd:40"},
                                 {2225966440, "2040/07/dd dd:dd:40"}}) {
    std::string s = stamp_of(t);
    ASSERT_EQ(s.size(), shape.size()) << s;
    for (size_t i = 0; i < shape.size(); ++i)
      EXPECT_TRUE(shape[i] == 'd' ? s[i] >= '0' && s[i] <= '9' : s[i] == shape[i]) << s;
  }
}

TEST(Stamp, ClockFaultsGiveUnknown) {
  EXPECT_EQ(stamp_of(-1), "unknown");
  // Far beyond any calendar the conversion can represent.
  EXPECT_EQ(stamp_of(INT64_MAX), "unknown");
  // A tiny buffer truncates rather than overflows.
  EXPECT_EQ(stamp_of(INT64_MAX, 4), "unk");
}

}  // namespace
