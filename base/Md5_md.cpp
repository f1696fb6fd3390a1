// MD5 through libmd.
#include <md5.h>

#include "base/Md5.h"

namespace flintmoor {

std::array<uint8_t, 16> md5(std::span<const uint8_t> data) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, data.data(), data.size());
  std::array<uint8_t, 16> digest;
  MD5Final(digest.data(), &ctx);
  return digest;
}

}  // namespace flintmoor
