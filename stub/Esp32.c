/* The stub's layer below on the ESP32: UART0's registers and its receive interrupt, and the
 * ROM's functions, which Esp32Start.S calls for us. */
#include "stub/Stub.h"

#define REG(address) (*(volatile uint32_t*)(address))

/* UART0's registers through one base register: one literal instead of one per register. */
static volatile uint32_t* uart(void) {
  volatile uint32_t* base = (volatile uint32_t*)0x3FF40000u;
  __asm__("" : "+r"(base));
  return base;
}
#define UART(address) (uart()[((address)-0x3FF40000u) / 4])

/* UART0 */
#define kUartFifo 0x3FF40000u
#define kUartTxFifo 0x60000000u /* the AHB alias: writes through it are never lost */
#define kUartIntSt 0x3FF40008u
#define kUartIntEna 0x3FF4000Cu
#define kUartIntClr 0x3FF40010u
#define kUartClkdiv 0x3FF40014u
#define kUartStatus 0x3FF4001Cu
#define kUartConf1 0x3FF40024u
#define kUartMemRxStatus 0x3FF40060u
#define kRxFull (1u << 0)
#define kRxOverflow (1u << 4)
#define kRxTimeout (1u << 8)
/* Interrupt when the FIFO holds more than 64 bytes, or 2 byte times after the last one. */
#define kConf1 0x82000040u
#define kUartCpuInt 5

/* ROM functions besides the layer's own (Esp32Start.S). */
void esp32_software_reset(void);
uint32_t esp32_spi_pin_config(void);
void esp32_flash_attach(uint32_t config, uint32_t legacy);
void esp32_flash_set_params(uint32_t id, uint32_t total, uint32_t block, uint32_t sector,
                            uint32_t page, uint32_t status_mask);
void esp32_isr_attach(uint32_t cpu_int, void (*fn)(void), void* arg);
void esp32_isr_unmask(uint32_t mask);
void esp32_uart_isr_window(void);
void esp32_uart_isr(void);
void esp32_start(void);

/* Bytes in the receive FIFO. The count in STATUS can read 0 with bytes waiting (errata
 * UART-3.17): then the FIFO's read and write pointers differ. */
static uint32_t rx_count(void) {
  const uint32_t n = UART(kUartStatus) & 0xFF;
  if (n) return n;
  const uint32_t s = UART(kUartMemRxStatus);
  return ((s >> 2) ^ (s >> 13)) & 0x7FF ? 1 : 0;
}

/* Level-triggered: clear first, then drain, or a FIFO left above the threshold fires again. */
void esp32_uart_isr(void) {
  const uint32_t st = UART(kUartIntSt);
  UART(kUartIntClr) = st;
  uint32_t lost = st & kRxOverflow;
  uint32_t head = stub_rx.head;
  const uint32_t full = stub_rx.tail + kStubRxRingSize;
  for (uint32_t n; (n = rx_count()) != 0;) {
    while (n--) {
      const uint8_t b = (uint8_t)UART(kUartFifo);
      if (head == full) {
        lost = 1;
      } else {
        stub_rx_ring[head & (kStubRxRingSize - 1)] = b;
        head++;
      }
    }
  }
  stub_rx.head = head;
  if (lost) stub_rx.lost = 1;
}

void hal_tx(uint8_t b) {
  while (((UART(kUartStatus) >> 16) & 0xFF) >= 126) {
  }
  REG(kUartTxFifo) = b;
}

void hal_tx_flush(void) {
  while ((UART(kUartStatus) >> 16) & 0xFF) {
  }
  hal_delay_us(100); /* the last byte leaves the shift register */
}

void hal_rx_wait(void) {}

static uint32_t divide(uint32_t n, uint32_t d) {
  uint32_t q = 0, r = 0;
  for (int i = 31; i >= 0; i--) {
    r = r << 1 | (n >> i & 1);
    if (r >= d) {
      r -= d;
      q |= 1u << i;
    }
  }
  return q;
}

/* 16 x the UART's clock is the divisor in sixteenths times the speed it gives. */
void hal_set_baud(uint32_t new_baud, uint32_t old_baud) {
  if (!new_baud || !old_baud) return;
  const uint32_t div = UART(kUartClkdiv);
  const uint32_t clock16 = ((div & 0xFFFFF) << 4 | (div >> 20 & 15)) * old_baud;
  const uint32_t d = divide(clock16 + new_baud / 2, new_baud);
  UART(kUartClkdiv) = d >> 4 | (d & 15) << 20;
}

void hal_reboot(void) {
  esp32_software_reset();
  for (;;) {
  }
}

uint32_t hal_read_reg(uint32_t address) {
  return REG(address);
}
void hal_write_reg(uint32_t address, uint32_t value) {
  REG(address) = value;
}

void hal_flash_attach(uint32_t config) {
  esp32_flash_attach(config ? config : esp32_spi_pin_config(), 0);
}

void hal_flash_set_size(uint32_t id, uint32_t total_size) {
  esp32_flash_set_params(id, total_size, 0x10000, 0x1000, 0x100, 0xFFFF);
}

extern uint32_t _bss_start[], _bss_end[];

/* Called from the entry with interrupts masked: zero the data the image does not load (it lies
 * over the ROM loader's old buffers), take UART0's interrupt from the ROM, then serve. */
void esp32_start(void) {
  for (uint32_t* p = _bss_start; p < _bss_end; p++) *p = 0;
  UART(kUartIntEna) = 0;
  UART(kUartIntClr) = 0xFFFFFFFFu;
  esp32_isr_attach(kUartCpuInt, esp32_uart_isr_window, 0);
  UART(kUartConf1) = kConf1;
  UART(kUartIntClr) = 0xFFFFFFFFu;
  UART(kUartIntEna) = kRxFull | kRxOverflow | kRxTimeout;
  esp32_isr_unmask(1u << kUartCpuInt);
  stub_main();
}
