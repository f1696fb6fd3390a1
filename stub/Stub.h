/* The flasher stub's command handling and what it needs from below it. Stub.c serves the protocol
 * of StubProtocol.h; it is built three times: for the ESP32 (Esp32.c underneath, the ROM's
 * functions), for the lx106 under qemu (stub/tests/QemuHal.c: a flash array, stdin and stdout)
 * and for the host's fuzz target (stub/tests/HostHal.c). Plain freestanding C11: no library, no
 * 32-bit division (the cross compiler's libgcc has none).
 */
#ifndef FLINTMOOR_STUB_H
#define FLINTMOOR_STUB_H

#include <stdint.h>

#include "stub/StubProtocol.h"

/* Places the emulator's and the chip's large arrays where their link scripts want them. */
#ifdef __XTENSA__
#define STUB_SECTION(name) __attribute__((section(name)))
#else
#define STUB_SECTION(name)
#endif

/* The receive ring (kStubRxRingSize bytes, StubProtocol.h): the UART's receive interrupt (or the
 * stand-in) appends at head, the command loop takes at tail. Indices run freely. */
extern uint8_t stub_rx_ring[kStubRxRingSize];
struct stub_rx {
  uint32_t head;
  uint32_t tail;
  uint32_t lost; /* set by the receiver when bytes were lost (FIFO overflow, ring full) */
};
extern volatile struct stub_rx stub_rx;

/* Numbers the tests read (kept only where STUB_COUNTERS is defined): blocks answered before they
 * were written, and bytes that arrived while the flash was being erased or programmed. */
extern uint32_t stub_blocks_answered_early;
extern uint32_t stub_bytes_during_flash;

/* Serves requests for ever (greets first). */
void stub_main(void);
/* Resets the command state (flash size, writing) to what it is after start. */
void stub_reset_state(void);

/* ---- What the layer below provides ----------------------------------------------------- */

/* Sends a byte; waits while the transmitter is full. */
void hal_tx(uint8_t b);
/* Waits until everything sent has left the transmitter. */
void hal_tx_flush(void);
/* Waits until the receive ring holds a byte (the stand-ins may end the program at end of input). */
void hal_rx_wait(void);
/* Switches the line speed (new, and the one in use, as the host states them). */
void hal_set_baud(uint32_t new_baud, uint32_t old_baud);
/* Restarts the chip into its application; does not return. */
void hal_reboot(void);
void hal_delay_us(uint32_t us);
uint32_t hal_read_reg(uint32_t address);
void hal_write_reg(uint32_t address, uint32_t value);

/* The flash. 0 on success. Addresses and lengths of read and write are multiples of 4. */
void hal_flash_attach(uint32_t config);
void hal_flash_set_size(uint32_t id, uint32_t total_size);
int hal_flash_read(uint32_t address, void* dst, uint32_t len);
int hal_flash_write(uint32_t address, const void* src, uint32_t len);
int hal_flash_erase_sector(uint32_t sector);
int hal_flash_erase_block(uint32_t block);
int hal_flash_erase_chip(void);

/* MD5 with an 88-byte context. */
#define kStubMd5ContextSize 88u
void hal_md5_init(void* ctx);
void hal_md5_update(void* ctx, const void* p, uint32_t len);
void hal_md5_final(uint8_t digest[16], void* ctx);

/* The inflater: state word 0 = 0 starts a stream; flags kStubInflateZlib | kStubInflateMore;
 * writes into a ring of kStubInflateRing bytes starting at out_start, from out_next, at most
 * *out_len bytes; on return *in_len and *out_len hold what was consumed and produced. Returns
 * < 0 on a damaged stream, 0 at its end, 1 when it needs more input, 2 when it has more output. */
#define kStubInflateStateSize 11000u
#define kStubInflateRing 32768u
enum { kStubInflateZlib = 1, kStubInflateMore = 2 };
int hal_inflate(void* state, const uint8_t* in, uint32_t* in_len, uint8_t* out_start,
                uint8_t* out_next, uint32_t* out_len, uint32_t flags);

#endif /* FLINTMOOR_STUB_H */
