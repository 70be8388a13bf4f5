// The MD5 fingerprint: the RFC 1321 test suite through the platform's routines, whole
// and in pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "md5.h"

namespace {

std::string md5_of(const std::string& s) {
  char text[33];
  if (md5_hex(reinterpret_cast<const unsigned char*>(s.data()), int32_t(s.size()), text) != 0)
    return "(unavailable)";
  return std::string(text, std::strlen(text));
}

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(md5_of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_of("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(md5_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(md5_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(
      md5_of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
      "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, WholeLargeBufferWithLeadingZeroDigits) {
  // A million 'a's (a well-known digest), fed in one call.
  EXPECT_EQ(md5_of(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
  // A digest whose first byte is below 16 keeps its leading zero.
  EXPECT_EQ(md5_of("a"), "0cc175b9c0f1b6a831c399e269772661");
}

TEST(Md5, PiecesGiveTheWholesDigest) {
  // A million 'a's in pieces that cut MD5's 64-byte blocks anywhere, and none at all.
  const std::string a(1000000, 'a');
  for (int32_t piece : {1000000, 1 << 16, 63, 1}) {
    md5_pieces m;
    ASSERT_TRUE(m.begin());
    for (int32_t at = 0; at < 1000000; at += piece)
      m.add(reinterpret_cast<const unsigned char*>(a.data()) + at, std::min(piece, 1000000 - at));
    char text[33] = "";
    ASSERT_TRUE(m.end(text));
    EXPECT_STREQ(text, "7707d6ae4e027c70eea2a935c2296f21") << piece;
  }
  md5_pieces empty;
  char text[33] = "";
  ASSERT_TRUE(empty.begin() && empty.end(text));
  EXPECT_STREQ(text, "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
