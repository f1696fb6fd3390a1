/* The flasher stub's frames and commands (StubProtocol.h says what each answers). Requests come
 * from the receive ring, which the UART's interrupt fills; a data block is answered as soon as it
 * is whole and checked, then erased and programmed while the next one arrives in the ring. */
#include "stub/Stub.h"

#define END 0xC0
#define ESC 0xDB
#define kSector 0x1000u
#define kBlock64 0x10000u

uint8_t stub_rx_ring[kStubRxRingSize] STUB_SECTION(".rxring");
volatile struct stub_rx stub_rx;
uint32_t stub_blocks_answered_early;
uint32_t stub_bytes_during_flash;

/* The greeting lives in data memory: instruction memory takes no byte loads. */
uint8_t stub_greeting[4] = {'O', 'H', 'A', 'I'};

/* One decoded request; a data block starts 24 bytes in, so it is word-aligned for the flash, and
 * there is room to pad its end to a whole word. */
static uint8_t frame[kStubMaxFrame + 4] __attribute__((aligned(4)));
/* The inflater's output ring; READ_FLASH and SPI_FLASH_MD5 read the flash through it. */
static uint8_t ring[kStubInflateRing + 4] __attribute__((aligned(4)));
static uint32_t inflate_state[kStubInflateStateSize / 4];
static uint32_t md5_ctx[kStubMd5ContextSize / 4];
static uint32_t digest[4];

/* The command state: the flash's size, a request waiting to be served, and the write in
 * progress (FLASH_BEGIN or FLASH_DEFL_BEGIN up to its END; addresses are absolute). */
static struct {
  uint32_t flash_size;
  uint32_t pending; /* a request that arrived while READ_FLASH waited for an acknowledgement */
  uint32_t mode;    /* 0 none, 1 plain, 2 compressed */
  uint32_t offset;
  uint32_t end;       /* offset + the size announced */
  uint32_t erase_end; /* end rounded up to a sector */
  uint32_t erased;    /* everything from offset up to here is erased */
  uint32_t block_size;
  uint32_t blocks;
  uint32_t seq;      /* the sequence number expected next */
  uint32_t produced; /* compressed: bytes inflated so far */
  uint32_t written;  /* compressed: bytes of those programmed */
  uint32_t done;     /* compressed: the stream has ended */
  uint32_t err;      /* a failure after a block was answered; reported until the end */
} w;

/* A little-endian word of a request: every one lies at a multiple of 4 in `frame`. */
static uint32_t le32(const uint8_t* p) {
  return *(const uint32_t*)(const void*)p;
}

/* ---- Frames ----------------------------------------------------------------------------- */

static void tx_slip(const uint8_t* p, uint32_t n) {
  while (n--) {
    const uint8_t b = *p++;
    if (b == END || b == ESC) {
      hal_tx(ESC);
      hal_tx(b == END ? 0xDC : 0xDD);
    } else {
      hal_tx(b);
    }
  }
}

/* A frame without a packet header (greeting, READ_FLASH data and digest). */
static void tx_frame(const uint8_t* p, uint32_t n) {
  hal_tx(END);
  tx_slip(p, n);
  hal_tx(END);
}

/* An answer: header, `n` bytes of data, status and error code. */
static void answer(uint8_t op, uint32_t value, const uint8_t* data, uint32_t n, uint32_t err) {
  uint32_t h[3];
  h[0] = 1u | (uint32_t)op << 8 | (n + 2) << 16;
  h[1] = value;
  h[2] = (err != 0) | err << 8;
  hal_tx(END);
  tx_slip((const uint8_t*)h, 8);
  tx_slip(data, n);
  tx_slip((const uint8_t*)(h + 2), 2);
  hal_tx(END);
}

static uint8_t rx_byte(void) {
  while (stub_rx.head == stub_rx.tail) hal_rx_wait();
  const uint8_t b = stub_rx_ring[stub_rx.tail & (kStubRxRingSize - 1)];
  stub_rx.tail = stub_rx.tail + 1;
  return b;
}

/* Reads frames until one has a body and decodes it into `frame`. Returns its length, or 0 when
 * the frame was dropped (and answered if its header said whose it was). */
static uint32_t read_frame(void) {
  uint32_t n = 0;
  uint32_t bad = 0;
  for (;;) {
    uint8_t b = rx_byte();
    if (b == END) {
      if (n == 0 && !bad) continue; /* an empty frame, or the start of one */
      uint32_t err = 0;
      if (stub_rx.lost) {
        stub_rx.lost = 0;
        err = kStubErrRxOverflow;
      } else if (n > kStubMaxFrame) {
        err = kStubErrTooMuchData;
      } else if (bad) {
        return 0;
      }
      if (err) {
        if (n >= 8) answer(frame[1], 0, 0, 0, err);
        return 0;
      }
      return n;
    }
    if (b == ESC) {
      b = rx_byte();
      if (b == 0xDC) {
        b = END;
      } else if (b == 0xDD) {
        b = ESC;
      } else {
        bad = 1;
        if (b == END) return 0;
        continue;
      }
    }
    if (n < kStubMaxFrame) frame[n] = b;
    if (n <= kStubMaxFrame) n++;
  }
}

/* ---- Flash ------------------------------------------------------------------------------ */

/* Flash work, counted for the tests: how many bytes arrived while the flash was busy. */
#ifdef STUB_COUNTERS
#define FLASH_WORK(call)                               \
  ({                                                   \
    const uint32_t before_ = stub_rx.head;             \
    const int rc_ = (call);                            \
    stub_bytes_during_flash += stub_rx.head - before_; \
    rc_;                                               \
  })
#else
#define FLASH_WORK(call) (call)
#endif

/* Erases from `pos` (sector-aligned) until `stop`: 64 KiB blocks where one lies whole below
 * `region_end`, sectors elsewhere. Returns the position reached, or 1 on a failure. */
static uint32_t erase_range(uint32_t pos, uint32_t stop, uint32_t region_end) {
  while (pos < stop) {
    int rc;
    if (!(pos & (kBlock64 - 1)) && pos + kBlock64 <= region_end) {
      rc = FLASH_WORK(hal_flash_erase_block(pos >> 16));
      pos += kBlock64;
    } else {
      rc = FLASH_WORK(hal_flash_erase_sector(pos >> 12));
      pos += kSector;
    }
    if (rc) return 1;
  }
  return pos;
}

/* Programs `n` bytes at `address` (word-aligned) from `src`, erasing first what the write's
 * region still needs; pads the last word with 0xFF (src has room for it). */
static uint32_t program(uint32_t address, uint8_t* src, uint32_t n) {
  if (address + n > w.erased) {
    const uint32_t reached = erase_range(w.erased, address + n, w.erase_end);
    if (reached == 1) return kStubErrFlashFailed;
    w.erased = reached;
  }
  while (n & 3) src[n++] = 0xFF;
  if (FLASH_WORK(hal_flash_write(address, src, n))) return kStubErrFlashFailed;
  return 0;
}

/* Programs the inflated bytes up to `upto` (relative to the offset) out of the ring. */
static uint32_t flush_inflated(uint32_t upto) {
  while (w.written < upto) {
    const uint32_t pos = w.written & (kStubInflateRing - 1);
    uint32_t n = upto - w.written;
    if (n > kStubInflateRing - pos) n = kStubInflateRing - pos;
    const uint32_t err = program(w.offset + w.written, ring + pos, n);
    if (err) return err;
    w.written += n;
  }
  return 0;
}

/* Feeds one slice of the zlib stream to the inflater and programs what comes out. */
static uint32_t inflate_slice(const uint8_t* in, uint32_t n, uint32_t more) {
  const uint32_t size = w.end - w.offset;
  while (!w.done) {
    const uint32_t pos = w.produced & (kStubInflateRing - 1);
    uint32_t in_n = n;
    uint32_t out_n = kStubInflateRing - pos;
    const int st = hal_inflate(inflate_state, in, &in_n, ring, ring + pos, &out_n,
                               kStubInflateZlib | (more ? kStubInflateMore : 0));
    in += in_n;
    n -= in_n;
    w.produced += out_n;
    if (st < 0 || w.produced > size) return kStubErrInflate;
    if (st == 0) w.done = 1;
    const uint32_t err = flush_inflated(w.done ? w.produced : w.produced & ~3u);
    if (err) return err;
    if (st == 1 && n == 0) break;
    if (!in_n && !out_n && st != 2) return kStubErrInflate; /* no progress */
  }
  return 0;
}

/* ---- Commands --------------------------------------------------------------------------- */

static uint32_t in_flash(uint32_t address, uint32_t len) {
  return address <= w.flash_size && len <= w.flash_size - address;
}

void stub_reset_state(void) {
  w.flash_size = kStubDefaultFlashSize;
  w.pending = 0;
  w.mode = 0;
  w.err = 0;
}

static uint32_t cmd_begin(const uint8_t* p, uint32_t n, uint32_t mode) {
  if (n != 16) return kStubErrBadDataLen;
  const uint32_t size = le32(p);
  const uint32_t block_size = le32(p + 8);
  const uint32_t offset = le32(p + 12);
  if (block_size == 0 || block_size > kStubMaxBlock) return kStubErrBadBlockSize;
  if ((offset & (kSector - 1)) || !in_flash(offset, size)) return kStubErrInvalidArg;
  w.mode = mode;
  w.offset = w.erased = offset;
  w.end = offset + size;
  w.erase_end = (w.end + kSector - 1) & ~(kSector - 1);
  w.blocks = le32(p + 4);
  w.block_size = block_size;
  w.seq = w.produced = w.written = w.done = w.err = 0;
  inflate_state[0] = 0;
  return 0;
}

/* FLASH_DATA and FLASH_DEFL_DATA: checks the block, answers, then writes it. */
static void cmd_data(uint8_t op, uint32_t cks, uint8_t* p, uint32_t n, uint32_t mode) {
  uint32_t err = 0;
  uint32_t len = 0;
  uint32_t address = 0;
  if (n < 16 || (len = le32(p)) != n - 16) {
    err = kStubErrBadDataLen;
  } else if (w.mode != mode) {
    err = kStubErrNotInFlashMode;
  } else {
    address = w.offset + w.seq * w.block_size;
    if (len > w.block_size ||
        (mode == 1 && (address < w.offset || address > w.end || len > w.end - address))) {
      err = kStubErrTooMuchData;
    } else if (le32(p + 4) != w.seq) {
      err = kStubErrBadSequence;
    } else {
      uint32_t x = 0xEF;
      for (uint32_t i = 0; i < len; i++) x ^= p[16 + i];
      if (x != cks) err = kStubErrChecksum;
    }
  }
  if (err || w.err) {
    answer(op, 0, 0, 0, err ? err : w.err);
    return;
  }
  answer(op, 0, 0, 0, 0);
#ifdef STUB_COUNTERS
  stub_blocks_answered_early++;
#endif
  w.seq++;
  if (mode == 1) {
    w.err = program(address, p + 16, len);
  } else {
    w.err = inflate_slice(p + 16, len, w.seq < w.blocks);
  }
}

static uint32_t cmd_end(const uint8_t* p, uint32_t n, uint32_t mode) {
  if (n != 4) return kStubErrBadDataLen;
  if (w.mode != mode) return kStubErrNotInFlashMode;
  const uint32_t err = w.err;
  w.mode = 0;
  w.err = 0;
  if (!le32(p)) {
    answer(mode == 1 ? kStubOpFlashEnd : kStubOpFlashDeflEnd, 0, 0, 0, err);
    hal_tx_flush();
    hal_reboot();
  }
  return err;
}

/* Reads `n` bytes at `address` of the flash into the ring (whole words around them); returns
 * where they start in the ring, or 0 on a failure. */
static uint8_t* read_flash(uint32_t address, uint32_t n) {
  const uint32_t base = address & ~3u;
  if (hal_flash_read(base, ring, (address - base + n + 3) & ~3u)) return 0;
  return ring + (address - base);
}

/* MD5 of the flash range into `digest`. */
static uint32_t md5_range(uint32_t address, uint32_t len) {
  hal_md5_init(md5_ctx);
  while (len) {
    const uint32_t n = len > kStubReadMaxPacket ? kStubReadMaxPacket : len;
    const uint8_t* data = read_flash(address, n);
    if (!data) return kStubErrFlashFailed;
    hal_md5_update(md5_ctx, data, n);
    address += n;
    len -= n;
  }
  hal_md5_final((uint8_t*)digest, md5_ctx);
  return 0;
}

static uint32_t cmd_md5(const uint8_t* p, uint32_t n) {
  if (n != 16) return kStubErrBadDataLen;
  const uint32_t address = le32(p);
  const uint32_t len = le32(p + 4);
  if (!in_flash(address, len)) return kStubErrInvalidArg;
  if (w.err) return w.err;
  const uint32_t err = md5_range(address, len);
  if (err) return err;
  answer(kStubOpSpiFlashMd5, 0, (const uint8_t*)digest, 16, 0);
  return 0xFFFFFFFFu; /* answered */
}

static uint32_t cmd_erase_region(const uint8_t* p, uint32_t n) {
  if (n != 8) return kStubErrBadDataLen;
  const uint32_t address = le32(p);
  const uint32_t len = le32(p + 4);
  if (((address | len) & (kSector - 1)) || !in_flash(address, len)) return kStubErrInvalidArg;
  return erase_range(address, address + len, address + len) == 1 ? kStubErrFlashFailed : 0;
}

/* READ_FLASH: answers, then streams the range in packets, never more than `in flight` of them
 * unacknowledged, and ends with the range's MD5. A request arriving instead of an
 * acknowledgement ends the stream and is served next. */
static uint32_t cmd_read(const uint8_t* p, uint32_t n) {
  if (n != 16) return kStubErrBadDataLen;
  const uint32_t address = le32(p);
  const uint32_t len = le32(p + 4);
  const uint32_t packet = le32(p + 8);
  const uint32_t in_flight = le32(p + 12);
  if (!len || !packet || packet > kStubReadMaxPacket || !in_flight ||
      in_flight > kStubReadMaxInFlight || !in_flash(address, len))
    return kStubErrInvalidArg;
  answer(kStubOpReadFlash, 0, 0, 0, 0);
  uint32_t sent = 0;
  uint32_t acked = 0;
  hal_md5_init(md5_ctx);
  while (acked < len) {
    if (sent < len && sent - acked < in_flight * packet) {
      const uint32_t k = len - sent < packet ? len - sent : packet;
      const uint8_t* data = read_flash(address + sent, k);
      if (!data) return 0xFFFFFFFFu; /* the host's wait for data times out */
      hal_md5_update(md5_ctx, data, k);
      tx_frame(data, k);
      sent += k;
      continue;
    }
    const uint32_t got = read_frame();
    if (got == 4) {
      const uint32_t total = le32(frame);
      if (total > acked && total <= sent) acked = total;
    } else if (got >= 8) {
      w.pending = got;
      return 0xFFFFFFFFu;
    }
  }
  hal_md5_final((uint8_t*)digest, md5_ctx);
  tx_frame((const uint8_t*)digest, 16);
  return 0xFFFFFFFFu;
}

static uint32_t cmd_write_reg(const uint8_t* p, uint32_t n) {
  if (n != 16) return kStubErrBadDataLen;
  const uint32_t address = le32(p);
  const uint32_t mask = le32(p + 8);
  uint32_t value = le32(p + 4) & mask;
  if (mask != 0xFFFFFFFFu) value |= hal_read_reg(address) & ~mask; /* reads can have effects */
  hal_write_reg(address, value);
  hal_delay_us(le32(p + 12));
  return 0;
}

/* Serves one request. Returns the error code to answer with, or all ones when answered. */
static uint32_t serve(uint8_t op, uint32_t cks, uint8_t* p, uint32_t n, uint32_t* value) {
  switch (op) {
    case kStubOpSync:
      return 0;
    case kStubOpReadReg:
      if (n != 4) return kStubErrBadDataLen;
      *value = hal_read_reg(le32(p));
      return 0;
    case kStubOpWriteReg:
      return cmd_write_reg(p, n);
    case kStubOpSpiSetParams:
      if (n != 24) return kStubErrBadDataLen;
      w.flash_size = le32(p + 4);
      hal_flash_set_size(le32(p), w.flash_size);
      return 0;
    case kStubOpSpiAttach:
      if (n != 4 && n != 8) return kStubErrBadDataLen;
      hal_flash_attach(le32(p));
      return 0;
    case kStubOpChangeBaudrate:
      if (n != 8) return kStubErrBadDataLen;
      answer(op, 0, 0, 0, 0);
      hal_tx_flush();
      hal_set_baud(le32(p), le32(p + 4));
      return 0xFFFFFFFFu;
    case kStubOpFlashBegin:
    case kStubOpFlashDeflBegin:
      return cmd_begin(p, n, op == kStubOpFlashBegin ? 1 : 2);
    case kStubOpFlashData:
    case kStubOpFlashDeflData:
      cmd_data(op, cks, p, n, op == kStubOpFlashData ? 1 : 2);
      return 0xFFFFFFFFu;
    case kStubOpFlashEnd:
    case kStubOpFlashDeflEnd:
      return cmd_end(p, n, op == kStubOpFlashEnd ? 1 : 2);
    case kStubOpSpiFlashMd5:
      return cmd_md5(p, n);
    case kStubOpEraseFlash:
      if (n) return kStubErrBadDataLen;
      return FLASH_WORK(hal_flash_erase_chip()) ? kStubErrFlashFailed : 0;
    case kStubOpEraseRegion:
      return cmd_erase_region(p, n);
    case kStubOpReadFlash:
      return cmd_read(p, n);
    default:
      return kStubErrUnknownCommand;
  }
}

static void handle_frame(uint8_t* f, uint32_t len) {
  if (len < 8 || f[0] != 0) return;
  const uint32_t n = len - 8;
  uint32_t value = 0;
  uint32_t err = kStubErrBadDataLen;
  if ((uint32_t)(f[2] | f[3] << 8) == n) err = serve(f[1], le32(f + 4), f + 8, n, &value);
  if (err != 0xFFFFFFFFu) answer(f[1], value, 0, 0, err);
}

void stub_main(void) {
  stub_reset_state();
  hal_flash_attach(0);
  hal_flash_set_size(0, w.flash_size);
  tx_frame(stub_greeting, 4);
  for (;;) {
    const uint32_t n = w.pending ? w.pending : read_frame();
    w.pending = 0;
    if (n) handle_frame(frame, n);
  }
}
