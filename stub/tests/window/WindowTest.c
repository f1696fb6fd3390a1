/* The bridge from the stub's call0 code to windowed functions, on a windowed core: arguments one
 * to seven arrive, the result comes back, our callee-saved registers and stack survive, and when
 * the callee's calls spill our frame the window overflow writes only into the place the bridge
 * planted for it. Exits 0 when all holds: 1 a wrong result, 2 a stray spill, 3 never.
 * Window overflows happen from the second level of window_sum on: the core has 32 registers. */
#include <stdint.h>

/* Where a spill would land without the planted word: the stack below us points here. */
static uint32_t canary[64];

/* The ROM wrappers call esp32_rom_call with the function in a8: this does the same for the test. */
uint32_t call_window_sum(uint32_t depth, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e,
                         uint32_t f);
__asm__(
    "  .section .text.call_window_sum, \"ax\"\n"
    "  .literal_position\n"
    "  .global call_window_sum\n"
    "  .align 4\n"
    "call_window_sum:\n"
    "  movi a8, window_sum\n"
    "  j esp32_rom_call\n");

/* Esp32Start.S's entry and interrupt wrapper call these; the test uses neither. */
void esp32_start(void) {}
void esp32_uart_isr(void) {}

int window_main(void);

/* Fills the stack below us with pointers into the canary: a spill through an unplanted word
 * would land there. */
static uint32_t __attribute__((noinline)) fill_stack_below(void) {
  volatile uint32_t junk[256];
  for (int i = 0; i < 256; i++) junk[i] = (uint32_t)(canary + 40);
  return junk[0];
}

int window_main(void) {
  for (int i = 0; i < 64; i++) canary[i] = 0xA5A5A5A5u;
  uint32_t keep = 0x1234;
  for (uint32_t depth = 0; depth < 24; depth++) {
    fill_stack_below();
    const uint32_t got = call_window_sum(depth, 1, 20, 300, 4000, 50000, 600000);
    if (got != 654321u + depth * 50000u) return 1;
    keep = keep * 3 + got;
  }
  for (int i = 0; i < 64; i++)
    if (canary[i] != 0xA5A5A5A5u) return 2;
  return keep == 0 ? 3 : 0;
}
