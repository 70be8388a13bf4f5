// The script writer against the format, on in-memory buffers.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "capture.h"

namespace {

const std::string head =
    "# patch script: a.old -> a.new\n"
    "# generated at STAMP \n"
    "\n"
    "# read old file\n"
    "<a.old\n"
    "\n"
    "# check input md5sum\n"
    "?00000000000000000000000000000000\n"
    "\n";
const std::string tail =
    "# check output md5sum\n"
    "?ffffffffffffffffffffffffffffffff\n"
    "\n"
    "# write new file\n"
    ">script_a.new\n";

// The change blocks between the header and the closing lines.
std::string blocks(const std::string& script) {
  if (script.compare(0, head.size(), head) != 0 || script.size() < head.size() + tail.size() ||
      script.compare(script.size() - tail.size(), tail.size(), tail) != 0)
    return "(header or closing lines differ)\n" + script;
  return script.substr(head.size(), script.size() - head.size() - tail.size());
}

// new_data is old_data (all 'a') with bytes [start, start+count) set to 'B'.
std::string changed(const std::string& old_data, size_t start, size_t count) {
  std::string s = old_data;
  for (size_t i = start; i < start + count; ++i) s[i] = 'B';
  return s;
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

// The format written out literally: one formatted call per item.
std::string reference_script(const std::string& o, const std::string& w) {
  std::string s = head;
  char buf[32];
  for (size_t i = 0; i < o.size(); ++i) {
    if (o[i] == w[i]) continue;
    std::snprintf(buf, sizeof buf, ":%lx\n", (unsigned long)i);
    s += buf;
    int count = 0;
    for (; i < o.size() && o[i] != w[i]; ++i) {
      std::snprintf(buf, sizeof buf, "%02X ", (unsigned char)w[i]);
      s += buf;
      if (++count == 16) s += "\n", count = 0;
    }
    if (count != 0) s += "\n";
    s += "\n";
  }
  return s + tail;
}

TEST(Script, WholeTextForOneChangedByte) {
  EXPECT_EQ(script_for("abcdefgh", "abAdefgh"), head + ":2\n41 \n\n" + tail);
}

TEST(Script, RunLengthsAtTheLineBoundaries) {
  const std::string old_data(64, 'a');
  const std::string full = repeat("42 ", 16) + "\n";
  EXPECT_EQ(blocks(script_for(old_data, changed(old_data, 5, 15))),
            ":5\n" + repeat("42 ", 15) + "\n\n");
  EXPECT_EQ(blocks(script_for(old_data, changed(old_data, 5, 16))), ":5\n" + full + "\n");
  EXPECT_EQ(blocks(script_for(old_data, changed(old_data, 5, 17))), ":5\n" + full + "42 \n\n");
  EXPECT_EQ(blocks(script_for(old_data, changed(old_data, 5, 32))), ":5\n" + full + full + "\n");
}

TEST(Script, RunsAtTheEdgesOfTheData) {
  const std::string old_data(40, 'a');
  const std::string full = repeat("42 ", 16) + "\n";
  // First byte, last byte, a run of 16 ending at the last byte, the whole file.
  EXPECT_EQ(blocks(script_for(old_data, changed(old_data, 0, 1))), ":0\n42 \n\n");
  EXPECT_EQ(blocks(script_for(old_data, changed(old_data, 39, 1))), ":27\n42 \n\n");
  EXPECT_EQ(blocks(script_for(old_data, changed(old_data, 24, 16))), ":18\n" + full + "\n");
  EXPECT_EQ(blocks(script_for(old_data, changed(old_data, 0, 40))),
            ":0\n" + full + full + repeat("42 ", 8) + "\n\n");
  EXPECT_EQ(blocks(script_for("x", "y")), ":0\n79 \n\n");
}

TEST(Script, OffsetsInLowercaseHexWithoutLeadingZeros) {
  const std::string old_data(300, 'a');
  std::string new_data = old_data;
  new_data[26] = new_data[256] = 'B';
  EXPECT_EQ(blocks(script_for(old_data, new_data)), ":1a\n42 \n\n:100\n42 \n\n");

  // Every count of digits up to the largest offset of the largest input, on either side
  // of each step from one count to the next.
  std::string large;
  large.resize(0x1FFFFFF, 'a');  // the largest input
  std::string changed_large = large;
  for (size_t step = 0x10; step <= 0x1000000; step *= 16)
    changed_large[step - 1] = changed_large[step + 1] = 'B';
  changed_large.back() = 'B';
  EXPECT_EQ(script_for(large, changed_large), reference_script(large, changed_large));
}

TEST(Script, HighValuesInUppercaseNeverSignExtended) {
  EXPECT_EQ(blocks(script_for(std::string(4, '\0'), "\x80\xff\xab\x0f")), ":0\n80 FF AB 0F \n\n");
}

TEST(Script, RunsSplitByOneEqualByteStaySeparate) {
  EXPECT_EQ(blocks(script_for("aaaaaa", "aBaBBa")), ":1\n42 \n\n:3\n42 42 \n\n");
}

TEST(Script, PathsAreWrittenUnchanged) {
  std::string text = script_for("a", "b", "dir one/old %s file", "dir two/new file");
  EXPECT_NE(text.find("# patch script: dir one/old %s file -> dir two/new file\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n<dir one/old %s file\n"), std::string::npos);
  EXPECT_NE(text.find("\n>script_dir two/new file\n"), std::string::npos);

  // Paths longer than the writer's staging buffer keep their place in the text.
  std::string long_old(1500000, 'o'), long_new(1100000, 'n');
  text = script_for("a", "b", long_old.c_str(), long_new.c_str());
  const std::string title = "# patch script: " + long_old + " -> " + long_new + "\n";
  const std::string last = "\n>script_" + long_new + "\n";
  EXPECT_TRUE(text.compare(0, title.size(), title) == 0);
  EXPECT_TRUE(text.find("\n<" + long_old + "\n\n# check input") != std::string::npos);
  EXPECT_TRUE(text.size() > last.size() && text.substr(text.size() - last.size()) == last);
}

TEST(Script, MatchesTheLiteralFormatOnRandomData) {
  // Lengths around the word size and the staging buffer; change densities from a few
  // bytes to nearly all, with runs of every length.
  std::mt19937 rng(20261208);
  for (size_t length : {1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 1000, 70000, 300000}) {
    for (double density : {0.001, 0.05, 0.5, 0.95, 1.0}) {
      std::string o(length, '\0'), w;
      for (char& c : o) c = char(rng() & 3);
      w = o;
      std::bernoulli_distribution change(density);
      for (char& c : w)
        if (change(rng)) c = char(c ^ (1 + rng() % 255));
      if (w == o) w[length / 2] ^= 1;
      ASSERT_EQ(script_for(o, w), reference_script(o, w))
          << "length " << length << ", density " << density;
    }
  }
}

TEST(Script, WriteErrorsAreLeftOnTheStream) {
  // A stream that refuses writes: the writer stops quietly and the caller sees ferror.
  std::FILE* f = std::fopen("capture-ro.tmp", "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  f = std::fopen("capture-ro.tmp", "rb");
  ASSERT_NE(f, nullptr);
  std::string old_data(200000, 'a'), new_data(200000, 'b');
  write_patch_script(f, "a", "b", reinterpret_cast<const unsigned char*>(old_data.data()),
                     reinterpret_cast<const unsigned char*>(new_data.data()),
                     int32_t(old_data.size()), "", "", "");
  EXPECT_NE(std::ferror(f), 0);
  std::fclose(f);
  std::remove("capture-ro.tmp");
}

}  // namespace
