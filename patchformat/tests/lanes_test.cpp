// The reader's many-bytes-at-once tests against the same rules tested a byte at a time,
// on text made of the bytes that matter to them: whatever the target's vector unit, the
// answers must be the portable ones.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "lanes.h"

namespace {

bool upper_hex(char c) { return upper_digits.value[static_cast<unsigned char>(c)] <= 15; }
bool lower_hex(char c) { return lower_digits.value[static_cast<unsigned char>(c)] <= 15; }

int lower_run(const char* p) {
  int n = 0;
  while (n < 16 && lower_hex(p[n])) ++n;
  return n;
}

bool full_row(const char* p) {
  for (int i = 0; i < 48; ++i)
    if (i % 3 == 2 ? p[i] != ' ' : !upper_hex(p[i])) return false;
  return true;
}

int short_run(const char* p) {
  int n = lower_run(p + 1);
  const char* v = p + n + 2;  // after the offset's LF
  bool ok = p[0] == ':' && n >= 1 && n <= 8 && p[n + 1] == '\n' && upper_hex(v[0]) &&
            upper_hex(v[1]) && v[2] == ' ' && v[3] == '\n' && v[4] == '\n';
  return ok ? n : 0;
}

TEST(Lanes, AnswerAsTheBytesDo) {
  const std::string alphabet = "0123456789abcdefABCDEFgG :\n\r\x80\xff";
  std::mt19937 rng(7);
  char text[64];
  for (int trial = 0; trial < 200000; ++trial) {
    // Mostly well-formed lines, with a byte or a few changed.
    const std::string seeds[] = {":" + std::to_string(trial % 97) + "\nC3 \n\n",
                                 ":1a2b3c4d\n07 \n\n", std::string(16, '\0')};
    std::string seed = seeds[trial % 3];
    if (trial % 3 == 2)
      for (size_t i = 0; i < 16; ++i) seed.replace(3 * i, 3, "9F ");
    for (size_t i = 0; i < sizeof text; ++i)
      text[i] = i < seed.size() ? seed[i] : alphabet[rng() % alphabet.size()];
    for (int k = int(rng() % 3); k > 0; --k) text[rng() % 50] = alphabet[rng() % alphabet.size()];

    ASSERT_EQ(lanes_lower_hex(text + 1), lower_run(text + 1)) << std::string(text, 20);
    if (lanes_vector) {  // else these lines are left to the byte-a-step path
      ASSERT_EQ(lanes_short_run(text), short_run(text)) << std::string(text, 20);
      ASSERT_EQ(lanes_full_row(text), full_row(text)) << std::string(text, 49);
    }
    int n = lower_run(text + 1);
    if (n >= 1 && n <= 8) {
      ASSERT_EQ(lanes_hex_value(text + 1, n), std::stoul(std::string(text + 1, size_t(n)), 0, 16));
    }
  }
}

}  // namespace
