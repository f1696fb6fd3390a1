/* The stub's layer below, for qemu's lx106 `sim` machine: the UART is the emulator's standard
 * input and output (semihosting), the flash a 4 MiB array. A write to the flash waits until some
 * of the next request has arrived, the way the real flash stays busy while the receive interrupt
 * fills the ring: the tests see blocks answered before they are written and bytes received while
 * a write is in progress. At the end of the input the program prints its counters on standard
 * error (blocks answered early, bytes received during flash work, the line speed, and the most
 * bytes the receive ring held at once) and exits with status 0; a reboot exits with status 3. */
#include "stub/Stub.h"

#define kFlashSize (4u << 20)
#define kSpiCmd 0x3FF42000u
#define kSpiUser2 0x3FF42024u
#define kSpiW0 0x3FF42080u
#define kJedecId 0x001640EFu /* maker 0xEF, type 0x40, 2^0x16 bytes */

static uint8_t flash[kFlashSize] __attribute__((section(".standin"), aligned(4)));
static uint32_t flash_limit = kFlashSize;
static uint32_t end_of_input;
static uint8_t out[4096];
static uint32_t out_count;
uint32_t qemu_baud = 115200;
static uint32_t ring_peak;

static int simcall(int call, int a, int b, int c) {
  register int a2 __asm__("a2") = call;
  register int a3 __asm__("a3") = a;
  register int a4 __asm__("a4") = b;
  register int a5 __asm__("a5") = c;
  __asm__ volatile(".byte 0x00, 0x51, 0x00" /* simcall */
                   : "+r"(a2), "+r"(a3)
                   : "r"(a4), "r"(a5)
                   : "memory");
  return a2;
}

enum { kSysExit = 1, kSysRead = 3, kSysWrite = 4 };

static void put_hex(uint32_t v) {
  char s[9];
  for (int i = 0; i < 8; i++) s[i] = "0123456789abcdef"[(v >> (28 - 4 * i)) & 15];
  s[8] = ' ';
  simcall(kSysWrite, 2, (int)s, 9);
}

static void send_out(void) {
  if (out_count) simcall(kSysWrite, 1, (int)out, (int)out_count);
  out_count = 0;
}

static void finish(int status) {
  send_out();
  put_hex(stub_blocks_answered_early);
  put_hex(stub_bytes_during_flash);
  put_hex(qemu_baud);
  put_hex(ring_peak);
  simcall(kSysWrite, 2, (int)"\n", 1);
  simcall(kSysExit, status, 0, 0);
  for (;;) {
  }
}

/* Sends what was written, then reads what standard input has (blocking for at least one byte)
 * into the ring. */
static void receive(void) {
  send_out();
  const uint32_t head = stub_rx.head;
  const uint32_t at = head & (kStubRxRingSize - 1);
  uint32_t room = kStubRxRingSize - (head - stub_rx.tail);
  if (room > kStubRxRingSize - at) room = kStubRxRingSize - at;
  if (!room || end_of_input) return;
  const int got = simcall(kSysRead, 0, (int)(stub_rx_ring + at), (int)room);
  if (got <= 0) {
    end_of_input = 1;
    return;
  }
  stub_rx.head = head + (uint32_t)got;
  if (stub_rx.head - stub_rx.tail > ring_peak) ring_peak = stub_rx.head - stub_rx.tail;
}

void hal_rx_wait(void) {
  receive();
  if (end_of_input && stub_rx.head == stub_rx.tail) finish(0);
}

void hal_tx(uint8_t b) {
  if (out_count == sizeof out) send_out();
  out[out_count++] = b;
}

void hal_tx_flush(void) {
  send_out();
}
void hal_set_baud(uint32_t new_baud, uint32_t old_baud) {
  (void)old_baud;
  qemu_baud = new_baud;
}
void hal_reboot(void) {
  finish(3);
}
void hal_delay_us(uint32_t us) {
  (void)us;
}

/* The chip id register, and the SPI1 controller's user command as far as the JEDEC id read
 * needs it; other addresses are the emulator's memory. */
uint32_t hal_read_reg(uint32_t address) {
  if (address == 0x40001000u) return 0x00F01D83u;
  return *(volatile uint32_t*)address;
}

void hal_write_reg(uint32_t address, uint32_t value) {
  if (address == kSpiCmd && (value & (1u << 18))) {
    if ((*(volatile uint32_t*)kSpiUser2 & 0xFFFF) == 0x9F)
      *(volatile uint32_t*)kSpiW0 = kJedecId | 0xAA000000u; /* top byte stale, as on the chip */
    value &= ~(1u << 18);
  }
  *(volatile uint32_t*)address = value;
}

void hal_flash_attach(uint32_t config) {
  (void)config;
}

void hal_flash_set_size(uint32_t id, uint32_t total_size) {
  (void)id;
  flash_limit = total_size < kFlashSize ? total_size : kFlashSize;
}

static int outside(uint32_t address, uint32_t len) {
  return (address | len) & 3 || address > flash_limit || len > flash_limit - address;
}

int hal_flash_read(uint32_t address, void* dst, uint32_t len) {
  if (outside(address, len)) return 1;
  for (uint32_t i = 0; i < len; i++) ((uint8_t*)dst)[i] = flash[address + i];
  return 0;
}

int hal_flash_write(uint32_t address, const void* src, uint32_t len) {
  if (stub_rx.head == stub_rx.tail) receive(); /* busy until the next request comes in */
  if (outside(address, len) || (uintptr_t)src & 3) return 1;
  for (uint32_t i = 0; i < len; i++) flash[address + i] &= ((const uint8_t*)src)[i];
  return 0;
}

static int erase(uint32_t address, uint32_t len) {
  if (outside(address, len)) return 1;
  for (uint32_t i = 0; i < len; i++) flash[address + i] = 0xFF;
  return 0;
}

int hal_flash_erase_sector(uint32_t sector) {
  return erase(sector << 12, 0x1000);
}
int hal_flash_erase_block(uint32_t block) {
  return erase(block << 16, 0x10000);
}
int hal_flash_erase_chip(void) {
  return erase(0, flash_limit);
}

/* Start-up: zero the uninitialised data, erase the flash, serve. */
extern uint32_t _bss_start[], _bss_end[];
void qemu_main(void) {
  for (uint32_t* p = _bss_start; p < _bss_end; p++) *p = 0;
  erase(0, kFlashSize);
  stub_main();
}
