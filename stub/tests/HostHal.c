/* The stub's layer below on the build host, for the fuzz target: the input is the line, the flash
 * a 1 MiB array, registers a small array. Besides the sanitizers' checks it traps when the stub
 * asks for a flash operation past the size it was told (rounded up to a word). */
#include <setjmp.h>
#include <stddef.h>
#include <string.h>

#include "stub/Stub.h"

#define kFlashSize (1u << 20)

static uint8_t flash[kFlashSize];
static uint32_t told_size;
static uint32_t registers[64];
static const uint8_t* input;
static size_t input_left;
static jmp_buf input_end;

/* Hands the stub the input in pieces of varying length, as a UART would, and ends the run when it
 * is used up. A piece that starts with 0xFE is lost, as bytes are when the receive FIFO
 * overflows. */
void hal_rx_wait(void) {
  if (!input_left) longjmp(input_end, 1);
  size_t n = 1 + (input[0] & 63);
  if (n > input_left) n = input_left;
  for (size_t i = 0; i < n; i++) {
    if (input[0] == 0xFE || stub_rx.head - stub_rx.tail == kStubRxRingSize) {
      stub_rx.lost = 1;
      break;
    }
    stub_rx_ring[stub_rx.head & (kStubRxRingSize - 1)] = input[i];
    stub_rx.head = stub_rx.head + 1;
  }
  input += n;
  input_left -= n;
}

void hal_tx(uint8_t b) {
  (void)b;
}
void hal_tx_flush(void) {}
void hal_set_baud(uint32_t new_baud, uint32_t old_baud) {
  (void)new_baud, (void)old_baud;
}
void hal_reboot(void) {
  longjmp(input_end, 1);
}
void hal_delay_us(uint32_t us) {
  (void)us;
}
uint32_t hal_read_reg(uint32_t address) {
  return registers[(address >> 2) & 63];
}
void hal_write_reg(uint32_t address, uint32_t value) {
  registers[(address >> 2) & 63] = value;
}
void hal_flash_attach(uint32_t config) {
  (void)config;
}
void hal_flash_set_size(uint32_t id, uint32_t total_size) {
  (void)id;
  told_size = total_size;
}

/* 1 when the range lies outside the array; traps when it lies past what the stub was told. */
static int outside(uint32_t address, uint32_t len) {
  const uint64_t end = (uint64_t)address + len;
  if (end > (((uint64_t)told_size + 3) & ~(uint64_t)3)) __builtin_trap();
  return (address | len) & 3 || end > kFlashSize;
}

int hal_flash_read(uint32_t address, void* dst, uint32_t len) {
  if (outside(address, len)) return 1;
  memcpy(dst, flash + address, len);
  return 0;
}

int hal_flash_write(uint32_t address, const void* src, uint32_t len) {
  if (outside(address, len) || (uintptr_t)src & 3) return 1;
  for (uint32_t i = 0; i < len; i++) flash[address + i] &= ((const uint8_t*)src)[i];
  return 0;
}

static int erase(uint32_t address, uint32_t len) {
  if (outside(address, len)) return 1;
  memset(flash + address, 0xFF, len);
  return 0;
}

int hal_flash_erase_sector(uint32_t sector) {
  return erase(sector << 12, 0x1000);
}
int hal_flash_erase_block(uint32_t block) {
  return erase(block << 16, 0x10000);
}
int hal_flash_erase_chip(void) {
  return erase(0, told_size < kFlashSize ? told_size : kFlashSize);
}

/* Runs the stub from its start on one input. */
void stub_host_run(const uint8_t* data, size_t size) {
  input = data;
  input_left = size;
  stub_rx.head = stub_rx.tail = stub_rx.lost = 0;
  memset(flash, 0xFF, sizeof flash);
  if (!setjmp(input_end)) stub_main();
}
