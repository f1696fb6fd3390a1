// The MD5 that verifies flash writes: the test suite of RFC 1321, on every platform's library.
#include <gtest/gtest.h>

#include <string>

#include "base/Md5.h"

namespace {

std::string hexDigest(const std::string& text) {
  const auto digest = flintmoor::md5(
      {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(hexDigest(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hexDigest("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(hexDigest("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hexDigest("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(hexDigest("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(hexDigest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(hexDigest("1234567890123456789012345678901234567890"
                      "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

}  // namespace
