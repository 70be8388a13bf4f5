// What messages show of hostile text: nothing that acts on a terminal, nothing invalid.
#include "text.h"

#include <gtest/gtest.h>

namespace {

TEST(Escape, ShowsWhatWouldActAndKeepsText) {
  const struct {
    const char* text;
    const char* shown;
  } cases[] = {
      {"dir/app.new", "dir/app.new"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\x1b[2Jpatch applied\r\n\t", "\\x1b[2Jpatch applied\\x0d\\x0a\\x09"},
      {"a\x7f"
       "b",
       "a\\x7fb"},
      {"\xc2\x9b"
       "31m",
       "\\x9b31m"},                                        // C1: CSI
      {"x\xe2\x80\xaey\xe2\x81\xa6", "x\\u202ey\\u2066"},  // reordering marks
      {"\xe2\x80\xa8", "\\u2028"},                         // line separator
      {"\xff\xfe", "\\xff\\xfe"},                          // never UTF-8
      {"\xe2\x82", "\\xe2\\x82"},                          // cut short
      {"\xc0\xaf", "\\xc0\\xaf"},                          // overlong '/'
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                 // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},        // past U+10FFFF
      {"\xe2\x82z", "\\xe2\\x82z"},                        // the next character survives
  };
  for (const auto& c : cases) EXPECT_EQ(escape_text(c.text), c.shown) << c.text;
  EXPECT_EQ(escape_text(std::string("a\0b", 3)), "a\\x00b");
}

}  // namespace
