// Round trips: the writer's script, read back by a strict applier, must turn the old
// data into the new with both fingerprints right.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "applied.h"
#include "capture.h"
#include "md5.h"

namespace {

std::string fingerprint(const std::string& s) {
  char text[33] = "";
  md5_hex(reinterpret_cast<const unsigned char*>(s.data()), int32_t(s.size()), text);
  return text;
}

std::string round_trip(const std::string& o, const std::string& w, script_fields& fields) {
  std::string script =
      script_for(o, w, "old name", "dir/new name", fingerprint(o).c_str(), fingerprint(w).c_str());
  std::vector<unsigned char> old_data(o.begin(), o.end()), result;
  std::string fault = apply_script(script, old_data, result, fields);
  if (fault.empty() && result != std::vector<unsigned char>(w.begin(), w.end()))
    fault = "applied script gives other data";
  return fault;
}

TEST(RoundTrip, RandomPairs) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; ++trial) {
    size_t length = 1 + rng() % (trial < 300 ? 200 : 20000);
    std::string o(length, '\0');
    for (char& c : o) c = char(rng());
    std::string w = o;
    // Runs of random length at random places, sometimes one equal byte apart.
    int runs = 1 + int(rng() % 12);
    for (int r = 0; r < runs; ++r) {
      size_t start = rng() % length, count = 1 + rng() % 40;
      for (size_t i = start; i < start + count && i < length; ++i)
        w[i] = char(o[i] ^ (1 + rng() % 255));
    }
    script_fields fields;
    ASSERT_EQ(round_trip(o, w, fields), "") << "trial " << trial;
    EXPECT_EQ(fields.old_path, "old name");
    EXPECT_EQ(fields.new_path, "dir/new name");
  }
}

TEST(RoundTrip, ApplierRejectsDamagedScripts) {
  // The oracle is only worth its round trips if it notices faults a writer could make.
  const std::string o = "abcdefghijklmnopqrstuvwxyz0123456789",
                    w = "abCdefghijklmnopqrstuvwxyZ0123456789";
  const std::string good =
      script_for(o, w, "o", "n", fingerprint(o).c_str(), fingerprint(w).c_str());
  std::vector<unsigned char> old_data(o.begin(), o.end()), result;
  script_fields fields;
  ASSERT_EQ(apply_script(good, old_data, result, fields), "");
  EXPECT_EQ(fields.blocks, 2);

  auto damaged = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    s.replace(at, from.size(), to);
    script_fields f;
    return apply_script(s, old_data, result, f);
  };
  EXPECT_NE(damaged("43 \n", "43\n"), "");                  // lost trailing space
  EXPECT_NE(damaged("43 \n", "63 \n"), "");                 // lowercase digits / wrong value
  EXPECT_NE(damaged(":2\n", ":02\n"), "");                  // leading zero
  EXPECT_NE(damaged("5A \n\n", "5A \n"), "");               // missing empty line after a block
  EXPECT_NE(damaged(":19\n5A", ":3\n5A"), "");              // offsets out of order
  EXPECT_NE(damaged("STAMP \n", "STAMP\n"), "");            // line 2 without its space
  EXPECT_NE(damaged(">script_n\n", ">script_n\nx\n"), "");  // text after the last line
  EXPECT_NE(damaged("?" + fingerprint(w), "?" + fingerprint(o)), "");  // wrong output md5
}

}  // namespace
