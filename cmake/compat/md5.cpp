// MD5 (RFC 1321) behind libmd's interface, for Windows builds.
#include "md5.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

uint32_t rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

void transform(uint32_t state[4], const uint8_t block[MD5_BLOCK_LENGTH]) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
           uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const uint32_t next = d;
    d = c;
    c = b;
    b = b + rotl(a + f + kSine[i] + m[g], kShift[i]);
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

extern "C" {

void MD5Init(MD5_CTX* ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->count = 0;
}

void MD5Update(MD5_CTX* ctx, const uint8_t* data, size_t len) {
  size_t used = static_cast<size_t>((ctx->count >> 3) % MD5_BLOCK_LENGTH);
  ctx->count += static_cast<uint64_t>(len) << 3;
  if (used > 0) {
    const size_t take = len < MD5_BLOCK_LENGTH - used ? len : MD5_BLOCK_LENGTH - used;
    std::memcpy(ctx->buffer + used, data, take);
    data += take;
    len -= take;
    used += take;
    if (used < MD5_BLOCK_LENGTH) return;
    transform(ctx->state, ctx->buffer);
  }
  for (; len >= MD5_BLOCK_LENGTH; data += MD5_BLOCK_LENGTH, len -= MD5_BLOCK_LENGTH) {
    transform(ctx->state, data);
  }
  if (len > 0) std::memcpy(ctx->buffer, data, len);
}

void MD5Final(uint8_t digest[MD5_DIGEST_LENGTH], MD5_CTX* ctx) {
  const uint64_t bits = ctx->count;
  uint8_t pad[MD5_BLOCK_LENGTH + 8] = {0x80};
  const size_t used = static_cast<size_t>((bits >> 3) % MD5_BLOCK_LENGTH);
  const size_t padLen = used < 56 ? 56 - used : 120 - used;
  for (int i = 0; i < 8; ++i) pad[padLen + i] = static_cast<uint8_t>(bits >> (8 * i));
  MD5Update(ctx, pad, padLen + 8);
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(ctx->state[i / 4] >> (8 * (i % 4)));
  std::memset(ctx, 0, sizeof *ctx);
}

char* MD5Data(const uint8_t* data, size_t len, char* buf) {
  if (buf == nullptr) {
    buf = static_cast<char*>(std::malloc(MD5_DIGEST_STRING_LENGTH));
    if (buf == nullptr) return nullptr;
  }
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, data, len);
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5Final(digest, &ctx);
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) {
    buf[2 * i] = kHex[digest[i] >> 4];
    buf[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  buf[2 * MD5_DIGEST_LENGTH] = '\0';
  return buf;
}

}  // extern "C"
