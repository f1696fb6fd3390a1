/* The flasher stub's protocol: what our RAM stub answers on the chip's UART once the ROM loader
 * has started it. This header is the one place it is written down; the firmware (stub/) and the
 * host's stub loader (esp/) both include it. The virtual ESP32 (sim/) keeps its own table on
 * purpose and is tied to the firmware by the request/answer vectors in stub/tests/vectors.txt.
 *
 * Plain C11 and C++20: constants only, no code.
 *
 * FRAMES. Every packet travels in a SLIP frame (END 0xC0; ESC 0xDB, with DB DC for C0 and DB DD
 * for DB). A request is: direction 0x00, opcode, 16-bit payload length, 32-bit checksum, payload.
 * An answer is: direction 0x01, the opcode answered, 16-bit data length, 32-bit value word, data.
 * Numbers are little-endian. The checksum (0xEF XOR every byte after the 16-byte data header) is
 * checked only by FLASH_DATA and FLASH_DEFL_DATA.
 *
 * ANSWERS. The data of an answer ends in two bytes: status (0 success, 1 failure) and an error
 * code (0 on success, kStubErr* otherwise). The value word is 0 unless the command reads a value
 * (READ_REG). SPI_FLASH_MD5 puts its 16 raw digest bytes before the two status bytes. Every
 * request gets exactly one answer, with the request's opcode, in the order the requests came.
 *
 * START. The stub clears the ROM's UART interrupts, attaches the flash with the eFuse pin
 * configuration, sets the flash parameters to kStubDefaultFlashSize, and sends one frame whose
 * four bytes are "OHAI" (no packet header) at the speed the ROM loader was running.
 *
 * COMMANDS (payload words are 32-bit):
 *  SYNC              any payload               answered once, value 0.
 *  READ_REG          address                   value word = the register.
 *  WRITE_REG         address, value, mask, delay_us   *address = (*address & ~mask) |
 *                                              (value & mask), then waits delay_us.
 *  SPI_SET_PARAMS    id, total size, block size, sector size, page size, status mask
 *                                              total size bounds every later flash address.
 *  SPI_ATTACH        4 or 8 bytes              attaches the flash (the first word: 0 means the
 *                                              eFuse pin configuration).
 *  CHANGE_BAUDRATE   new speed, old speed      answered at the old speed; the stub empties its
 *                                              transmitter, then switches. Nothing more is sent.
 *  FLASH_BEGIN       erase size, blocks, block size, offset   offset 4 KiB-aligned, block size
 *                                              1..kStubMaxBlock, offset + erase size within the
 *                                              flash. Quick: nothing is erased yet.
 *  FLASH_DATA        length, sequence, 0, 0, data    the block at offset + sequence * block size.
 *                                              Checked in this order: length field equals the
 *                                              data (kStubErrBadDataLen), a FLASH_BEGIN is open
 *                                              (kStubErrNotInFlashMode), length <= block size and
 *                                              the block inside the erase size
 *                                              (kStubErrTooMuchData), sequence (kStubErrBadSequence),
 *                                              checksum (kStubErrChecksum).
 *  FLASH_END         flag                      waits for the writes in progress; reports a write
 *                                              failure; flag 0 reboots into the application after
 *                                              the answer, 1 stays in the stub.
 *  FLASH_DEFL_BEGIN  size, blocks, block size, offset   as FLASH_BEGIN; size is the uncompressed
 *                                              size; the data is one zlib stream (RFC 1950).
 *  FLASH_DEFL_DATA   length, sequence, 0, 0, data    the next slice of the stream (block size
 *                                              at most kStubMaxBlock; the last may be shorter);
 *                                              checked as FLASH_DATA (no "inside the erase size"
 *                                              test: a slice may inflate to any amount); a stream
 *                                              that does not inflate, or inflates past the size,
 *                                              is kStubErrInflate, reported as a failed write
 *                                              (the slice is answered before it is inflated).
 *  FLASH_DEFL_END    flag                      as FLASH_END.
 *  SPI_FLASH_MD5     address, size, 0, 0       data: 16 raw MD5 bytes, then status.
 *  ERASE_FLASH       (none)                    the flash chip's own chip erase; answered when
 *                                              done (seconds: up to a minute for 16 MB).
 *  ERASE_REGION      address, size             both 4 KiB-aligned; 64 KiB block erases where a
 *                                              whole aligned block lies inside, sectors
 *                                              elsewhere; answered when done.
 *  READ_FLASH        address, length, packet size, in flight   see READING below.
 *  anything else                               status 1, kStubErrUnknownCommand.
 *
 * WRITING. Erasing happens as the blocks arrive: before a block is programmed, the stub erases
 * what of the announced region the block covers and is not erased yet, as 64 KiB blocks where a
 * whole aligned 64 KiB block of the region remains, as 4 KiB sectors otherwise. A FLASH_DATA or
 * FLASH_DEFL_DATA block is answered as soon as it has arrived whole and passed its checks; it is
 * erased and programmed while the next blocks arrive (the UART is received by interrupt into a
 * ring of kStubRxRingSize bytes, so no byte is lost while the flash is busy as long as the host
 * keeps its unanswered requests within the ring). A write that fails after its block
 * was answered is reported as kStubErrFlashFailed on the next answer of a data, end or MD5
 * command, and on each of them up to the END, which clears it; blocks after it are not written.
 * The host verifies every image with SPI_FLASH_MD5 in the end.
 *
 * READING (READ_FLASH). Request: address, length (1 or more), packet size
 * (1..kStubReadMaxPacket), in flight (1..kStubReadMaxInFlight): how many packets may be sent
 * beyond the last acknowledged byte. The range must lie inside the flash. The stub answers the
 * request (status 0, or status 1 and an error code, after which nothing else follows), then sends
 * the data as frames without a packet header, each `packet size` bytes long (the last one shorter
 * when the length is not a multiple). The host acknowledges with frames of four bytes: the total
 * number of data bytes it has received so far. The stub never has more than `in flight` packets
 * sent and unacknowledged. Once it has sent everything and the host has acknowledged the whole
 * length, the stub sends a frame of 16 bytes: the MD5 of the whole range. A request frame sent
 * instead of an acknowledgement ends the stream (no digest) and is served.
 *
 * JEDEC ID. The host reads the flash chip's id with READ_REG and WRITE_REG on the SPI1
 * controller's registers (the same sequence works with the ROM loader): no command of our own.
 *
 * MALFORMED INPUT. A frame shorter than the 8-byte header is ignored. A frame longer than
 * kStubMaxFrame is dropped whole and answered with its header's opcode, status 1,
 * kStubErrTooMuchData. A payload length field that differs from the bytes received is
 * kStubErrBadDataLen. A bad escape drops the frame (no answer). A receive FIFO overflow drops the
 * frame being received and is answered, once the next frame ends, with that frame's opcode,
 * status 1 and kStubErrRxOverflow: the host may send it again.
 */
#ifndef FLINTMOOR_STUB_PROTOCOL_H
#define FLINTMOOR_STUB_PROTOCOL_H

/* Opcodes the stub serves. */
enum {
  kStubOpFlashBegin = 0x02,
  kStubOpFlashData = 0x03,
  kStubOpFlashEnd = 0x04,
  kStubOpSync = 0x08,
  kStubOpWriteReg = 0x09,
  kStubOpReadReg = 0x0A,
  kStubOpSpiSetParams = 0x0B,
  kStubOpSpiAttach = 0x0D,
  kStubOpChangeBaudrate = 0x0F,
  kStubOpFlashDeflBegin = 0x10,
  kStubOpFlashDeflData = 0x11,
  kStubOpFlashDeflEnd = 0x12,
  kStubOpSpiFlashMd5 = 0x13,
  kStubOpEraseFlash = 0xD0,
  kStubOpEraseRegion = 0xD1,
  kStubOpReadFlash = 0xD2
};

/* Error codes of the stub's answers (the byte after the status). */
enum {
  kStubErrBadDataLen = 0xC0,     /* the payload is not as long as the command needs */
  kStubErrChecksum = 0xC1,       /* the data block arrived damaged: send it again */
  kStubErrBadBlockSize = 0xC2,   /* block size 0 or over kStubMaxBlock */
  kStubErrInvalidArg = 0xC3,     /* an argument out of range: unaligned, past the flash's end */
  kStubErrFlashFailed = 0xC4,    /* the flash refused an erase, a write or a read */
  kStubErrBadSequence = 0xC5,    /* a data block out of order */
  kStubErrNotInFlashMode = 0xC6, /* data or end without a begin */
  kStubErrTooMuchData = 0xC7,    /* more data than announced, or a frame over kStubMaxFrame */
  kStubErrInflate = 0xC8,        /* the compressed stream does not inflate */
  kStubErrRxOverflow = 0xC9,     /* bytes were lost while receiving: send the request again */
  kStubErrUnknownCommand = 0xFF  /* an opcode the stub does not serve */
};

/* Sizes. */
enum {
  kStubMaxBlock = 16384,                   /* largest FLASH_DATA / FLASH_DEFL_DATA block */
  kStubMaxFrame = 8 + 16 + kStubMaxBlock,  /* largest request: header, data header, block */
  kStubReadMaxPacket = 4096,               /* largest READ_FLASH data frame */
  kStubReadMaxInFlight = 64                /* most READ_FLASH frames sent unacknowledged */
};

/* The stub's receive ring, in bytes: the UART's receive interrupt fills it while the stub
 * inflates, erases and programs, and the stub frees its bytes as it decodes a frame. A host may
 * have at most this many escaped request bytes (END bytes included) sent and not yet answered;
 * within that nothing it sends is lost however long the flash keeps the stub busy. A power of two
 * that holds the longest escaped frame twice over. */
#define kStubRxRingSize 65536u

/* The stub's own flash size until SPI_SET_PARAMS narrows it: the largest ESP32 flash. */
#define kStubDefaultFlashSize 0x1000000u

/* The greeting: one frame of these four bytes, no header. */
#define kStubGreeting "OHAI"

#endif /* FLINTMOOR_STUB_PROTOCOL_H */
