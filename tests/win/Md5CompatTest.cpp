// The MD5 that stands in for libmd on Windows: the test suite of RFC 1321, and input fed in pieces
// that straddle the 64-byte blocks.
#include <gtest/gtest.h>
#include <md5.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string hexDigest(const std::string& text) {
  char out[MD5_DIGEST_STRING_LENGTH];
  MD5Data(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out);
  return out;
}

TEST(Md5Compat, Rfc1321TestSuite) {
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

TEST(Md5Compat, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  uint8_t whole[MD5_DIGEST_LENGTH];
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, data.data(), data.size());
  MD5Final(whole, &ctx);

  for (size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u}) {
    MD5Init(&ctx);
    for (size_t at = 0; at < data.size(); at += piece) {
      MD5Update(&ctx, data.data() + at, std::min(piece, data.size() - at));
    }
    uint8_t pieces[MD5_DIGEST_LENGTH];
    MD5Final(pieces, &ctx);
    EXPECT_EQ(0, std::memcmp(whole, pieces, sizeof whole)) << "pieces of " << piece;
  }
}

}  // namespace
