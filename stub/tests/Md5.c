/* MD5 (RFC 1321) for the stub's stand-ins: the ROM's MD5 functions, with the same 88-byte
 * context (four state words, a 64-bit bit count, a 64-byte block). */
#include "stub/Stub.h"

typedef struct {
  uint32_t s[4];
  uint32_t bits[2];
  uint8_t block[64];
} Md5;

_Static_assert(sizeof(Md5) == kStubMd5ContextSize, "the ROM's context size");

static const uint8_t kShift[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

/* floor(abs(sin(i + 1)) * 2^32) */
static const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

static void transform(Md5* m) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++)
    x[i] = (uint32_t)m->block[4 * i] | (uint32_t)m->block[4 * i + 1] << 8 |
           (uint32_t)m->block[4 * i + 2] << 16 | (uint32_t)m->block[4 * i + 3] << 24;
  uint32_t a = m->s[0], b = m->s[1], c = m->s[2], d = m->s[3];
  for (int i = 0; i < 64; i++) {
    uint32_t f;
    int g;
    const int round = i >> 4;
    if (round == 0) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (round == 1) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) & 15;
    } else if (round == 2) {
      f = b ^ c ^ d;
      g = (3 * i + 5) & 15;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) & 15;
    }
    const uint32_t t = a + f + kSine[i] + x[g];
    const int r = kShift[round][i & 3];
    a = d;
    d = c;
    c = b;
    b = b + (t << r | t >> (32 - r));
  }
  m->s[0] += a;
  m->s[1] += b;
  m->s[2] += c;
  m->s[3] += d;
}

void hal_md5_init(void* ctx) {
  Md5* m = ctx;
  m->s[0] = 0x67452301;
  m->s[1] = 0xefcdab89;
  m->s[2] = 0x98badcfe;
  m->s[3] = 0x10325476;
  m->bits[0] = m->bits[1] = 0;
}

void hal_md5_update(void* ctx, const void* data, uint32_t len) {
  Md5* m = ctx;
  const uint8_t* p = data;
  while (len--) {
    const uint32_t used = (m->bits[0] >> 3) & 63;
    m->block[used] = *p++;
    m->bits[0] += 8;
    if (m->bits[0] < 8) m->bits[1]++;
    if (used == 63) transform(m);
  }
}

void hal_md5_final(uint8_t digest[16], void* ctx) {
  Md5* m = ctx;
  const uint32_t lo = m->bits[0], hi = m->bits[1];
  const uint8_t one = 0x80, zero = 0;
  hal_md5_update(m, &one, 1);
  while (((m->bits[0] >> 3) & 63) != 56) hal_md5_update(m, &zero, 1);
  uint8_t length[8];
  for (int i = 0; i < 4; i++) {
    length[i] = (uint8_t)(lo >> (8 * i));
    length[4 + i] = (uint8_t)(hi >> (8 * i));
  }
  hal_md5_update(m, length, 8);
  for (int i = 0; i < 16; i++) digest[i] = (uint8_t)(m->s[i >> 2] >> (8 * (i & 3)));
}
