/* The stand-in for the ROM's inflater: one zlib stream (RFC 1950 around RFC 1951 deflate data).
 * It keeps every compressed byte it is given and inflates the stream again from its start on each
 * call, handing out only what it had not handed out before: slow, but small and plainly right,
 * which is what a test's stand-in needs. Same calling convention as the ROM's function. */
#include "stub/Stub.h"

#define kMaxIn (1u << 20)
#define kMaxOut (4u << 20)

static uint8_t in_store[kMaxIn] STUB_SECTION(".standin");
static uint8_t out_store[kMaxOut] STUB_SECTION(".standin");
static uint32_t in_count;
static uint32_t handed_out;

enum { kDone = 0, kMoreInput = 1, kBad = -1 };

typedef struct {
  const uint8_t* in;
  uint32_t in_len, in_pos;
  uint32_t bit_buf, bit_cnt;
  uint32_t out_pos;
  int short_input; /* ran past the end of the input */
} Reader;

typedef struct {
  uint16_t count[16];
  uint16_t symbol[320];
} Huffman;

static uint32_t bits(Reader* r, uint32_t need) {
  uint32_t v = r->bit_buf;
  while (r->bit_cnt < need) {
    if (r->in_pos == r->in_len) {
      r->short_input = 1;
      return 0;
    }
    v |= (uint32_t)r->in[r->in_pos++] << r->bit_cnt;
    r->bit_cnt += 8;
  }
  r->bit_buf = v >> need;
  r->bit_cnt -= need;
  return v & ((1u << need) - 1);
}

/* Builds a canonical code from code lengths; returns non-zero when the lengths over-subscribe. */
static int build(Huffman* h, const uint8_t* length, int n) {
  uint16_t offs[16];
  for (int i = 0; i < 16; i++) h->count[i] = 0;
  for (int s = 0; s < n; s++) h->count[length[s]]++;
  if (h->count[0] == n) return 0;
  int left = 1;
  for (int len = 1; len < 16; len++) {
    left <<= 1;
    left -= h->count[len];
    if (left < 0) return 1;
  }
  offs[1] = 0;
  for (int len = 1; len < 15; len++) offs[len + 1] = offs[len] + h->count[len];
  for (int s = 0; s < n; s++)
    if (length[s]) h->symbol[offs[length[s]]++] = (uint16_t)s;
  return 0;
}

static int decode(Reader* r, const Huffman* h) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len < 16; len++) {
    code |= (int)bits(r, 1);
    if (r->short_input) return -1;
    const int count = h->count[len];
    if (code - count < first) return h->symbol[index + (code - first)];
    index += count;
    first += count;
    first <<= 1;
    code <<= 1;
  }
  return -2;
}

static const uint16_t kLenBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
static const uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t kDistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

static int codes(Reader* r, const Huffman* lit, const Huffman* dist) {
  for (;;) {
    int s = decode(r, lit);
    if (s < 0) return s == -1 ? kMoreInput : kBad;
    if (s < 256) {
      if (r->out_pos == kMaxOut) return kBad;
      out_store[r->out_pos++] = (uint8_t)s;
    } else if (s == 256) {
      return kDone;
    } else {
      s -= 257;
      if (s >= 29) return kBad;
      const uint32_t len = kLenBase[s] + bits(r, kLenExtra[s]);
      const int d = decode(r, dist);
      if (d < 0 || r->short_input) return d == -1 || r->short_input ? kMoreInput : kBad;
      if (d >= 30) return kBad;
      const uint32_t back = kDistBase[d] + bits(r, kDistExtra[d]);
      if (r->short_input) return kMoreInput;
      if (back > r->out_pos || len > kMaxOut - r->out_pos) return kBad;
      for (uint32_t i = 0; i < len; i++, r->out_pos++)
        out_store[r->out_pos] = out_store[r->out_pos - back];
    }
  }
}

static int fixed(Reader* r) {
  static Huffman lit, dist;
  uint8_t length[320];
  int s = 0;
  for (; s < 144; s++) length[s] = 8;
  for (; s < 256; s++) length[s] = 9;
  for (; s < 280; s++) length[s] = 7;
  for (; s < 288; s++) length[s] = 8;
  build(&lit, length, 288);
  for (s = 0; s < 30; s++) length[s] = 5;
  build(&dist, length, 30);
  return codes(r, &lit, &dist);
}

static int dynamic(Reader* r) {
  static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
  static Huffman lit, dist;
  uint8_t length[320];
  const int nlen = (int)bits(r, 5) + 257;
  const int ndist = (int)bits(r, 5) + 1;
  const int ncode = (int)bits(r, 4) + 4;
  if (r->short_input) return kMoreInput;
  if (nlen > 286 || ndist > 30) return kBad;
  int i = 0;
  for (; i < ncode; i++) length[kOrder[i]] = (uint8_t)bits(r, 3);
  for (; i < 19; i++) length[kOrder[i]] = 0;
  if (r->short_input) return kMoreInput;
  if (build(&lit, length, 19)) return kBad;
  for (i = 0; i < nlen + ndist;) {
    int s = decode(r, &lit);
    if (s < 0) return s == -1 ? kMoreInput : kBad;
    if (s < 16) {
      length[i++] = (uint8_t)s;
      continue;
    }
    uint8_t value = 0;
    uint32_t repeat;
    if (s == 16) {
      if (i == 0) return kBad;
      value = length[i - 1];
      repeat = 3 + bits(r, 2);
    } else if (s == 17) {
      repeat = 3 + bits(r, 3);
    } else {
      repeat = 11 + bits(r, 7);
    }
    if (r->short_input) return kMoreInput;
    if (i + (int)repeat > nlen + ndist) return kBad;
    while (repeat--) length[i++] = value;
  }
  if (length[256] == 0) return kBad;
  if (build(&lit, length, nlen) || build(&dist, length + nlen, ndist)) return kBad;
  return codes(r, &lit, &dist);
}

/* Inflates the whole stream held so far into out_store. */
static int inflate_all(uint32_t* produced) {
  Reader r = {in_store, in_count, 0, 0, 0, 0, 0};
  *produced = 0;
  if (in_count < 2) return kMoreInput;
  uint32_t header = (uint32_t)in_store[0] << 8 | in_store[1];
  if ((in_store[0] & 0x0F) != 8 || (in_store[1] & 0x20)) return kBad;
  while (header >= 31) header -= 31;
  if (header) return kBad;
  r.in_pos = 2;
  int last = 0, rc = kDone;
  while (!last && rc == kDone) {
    last = (int)bits(&r, 1);
    const uint32_t type = bits(&r, 2);
    if (r.short_input) {
      rc = kMoreInput;
    } else if (type == 0) {
      r.bit_buf = r.bit_cnt = 0;
      if (r.in_len - r.in_pos < 4) {
        rc = kMoreInput;
        break;
      }
      const uint32_t len = in_store[r.in_pos] | in_store[r.in_pos + 1] << 8;
      const uint32_t nlen = in_store[r.in_pos + 2] | in_store[r.in_pos + 3] << 8;
      r.in_pos += 4;
      if ((len ^ 0xFFFF) != nlen) rc = kBad;
      for (uint32_t i = 0; rc == kDone && i < len; i++) {
        if (r.in_pos == r.in_len)
          rc = kMoreInput;
        else if (r.out_pos == kMaxOut)
          rc = kBad;
        else
          out_store[r.out_pos++] = in_store[r.in_pos++];
      }
    } else if (type == 1) {
      rc = fixed(&r);
    } else if (type == 2) {
      rc = dynamic(&r);
    } else {
      rc = kBad;
    }
  }
  *produced = r.out_pos;
  if (rc != kDone) return rc;
  /* The Adler-32 of the data, big-endian, after the last block's byte. */
  if (r.in_len - r.in_pos < 4) return kMoreInput;
  uint32_t a = 1, b = 0;
  for (uint32_t i = 0; i < r.out_pos; i++) {
    a += out_store[i];
    if (a >= 65521) a -= 65521;
    b += a;
    if (b >= 65521) b -= 65521;
  }
  const uint8_t* t = in_store + r.in_pos;
  const uint32_t adler = (uint32_t)t[0] << 24 | (uint32_t)t[1] << 16 | (uint32_t)t[2] << 8 | t[3];
  return adler == (b << 16 | a) ? kDone : kBad;
}

int hal_inflate(void* state, const uint8_t* in, uint32_t* in_len, uint8_t* out_start,
                uint8_t* out_next, uint32_t* out_len, uint32_t flags) {
  (void)out_start;
  uint32_t* started = state;
  if (!*started) {
    *started = 1;
    in_count = handed_out = 0;
  }
  if (*in_len > kMaxIn - in_count) return kBad;
  for (uint32_t i = 0; i < *in_len; i++) in_store[in_count++] = in[i];
  uint32_t produced;
  const int rc = inflate_all(&produced);
  if (rc == kBad || (rc == kMoreInput && !(flags & kStubInflateMore))) {
    *out_len = 0;
    return kBad;
  }
  uint32_t n = produced - handed_out;
  if (n > *out_len) n = *out_len;
  for (uint32_t i = 0; i < n; i++) out_next[i] = out_store[handed_out + i];
  handed_out += n;
  *out_len = n;
  if (handed_out < produced) return 2;
  return rc;
}
