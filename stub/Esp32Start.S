/* The stub's entry on the ESP32 and its two bridges between our call0 code and the ROM's
 * windowed code. The assembler refuses windowed instructions, so they are written as bytes:
 * entry a1,32 = 36 41 00; entry a1,48 = 36 61 00; callx8 a8 = E0 08 00; retw = 90 00 00;
 * rsr a2,WINDOWBASE = 20 48 03; wsr a3,WINDOWSTART = 30 49 13. */

  .section .entry.text, "ax"
  .literal_position

/* The ROM's main calls us with callx8 and interrupts at level 0. We never return: mask
 * interrupts (keeping user-mode vectors and window overflow), declare the ROM's register
 * windows dead, take our own stack and run the C start-up. */
  .global esp32_entry
  .align 4
esp32_entry:
  movi a2, 0x0004002F /* PS: WOE, UM, INTLEVEL 15 */
  wsr a2, ps
  rsync
  .byte 0x20, 0x48, 0x03 /* rsr a2, WINDOWBASE */
  movi a3, 1
  ssl a2
  sll a3, a3
  .byte 0x30, 0x49, 0x13 /* wsr a3, WINDOWSTART */
  rsync
  movi a1, _stack_top
  call0 esp32_start
1:
  j 1b

  .section .text.esp32_rom_call, "ax"
  .literal_position

/* esp32_rom_call: calls the ROM's windowed function in a8 with the arguments of our call0 caller
 * (a2..a7, a seventh at SP+0) and returns its result in a2. The hal_* functions below load the
 * ROM address into a8 and jump here. Frame (48 bytes): 0 the seventh argument, 8 a0, 12..24
 * a12..a15, 28 the function, 32..47 where the window overflow puts our a4..a7 if the ROM's calls
 * spill our frame: it finds that place through the word at SP-12, which we plant. Interrupts stay
 * masked from the plant until the windowed half has entered its frame, which then holds SP-12, so
 * no interrupt frame can overwrite it. */
  .global esp32_rom_call
  .align 4
esp32_rom_call:
  addi a1, a1, -48
  s32i a0, a1, 8
  s32i a12, a1, 12
  s32i a13, a1, 16
  s32i a14, a1, 20
  s32i a15, a1, 24
  s32i a8, a1, 28
  l32i a8, a1, 48
  s32i a8, a1, 0
  mov a10, a2
  mov a11, a3
  mov a12, a4
  mov a13, a5
  mov a14, a6
  mov a15, a7
  rsil a9, 1
  addi a8, a1, 64
  addi a9, a1, -16
  s32i a8, a9, 4 /* SP-12 */
  movi a8, esp32_rom_window
  .byte 0xE0, 0x08, 0x00 /* callx8 a8 */
  mov a2, a10
  l32i a0, a1, 8
  l32i a12, a1, 12
  l32i a13, a1, 16
  l32i a14, a1, 20
  l32i a15, a1, 24
  addi a1, a1, 48
  ret

/* The layer's functions that are the ROM's own (Stub.h has their arguments), and the ROM's
 * delay, reset and eFuse pin configuration for Esp32.c. */
  .macro rom name, address
  .global \name
  .align 4
\name:
  movi a8, \address
  j esp32_rom_call
  .endm
  rom hal_delay_us, 0x40008534
  rom esp32_software_reset, 0x4000824C
  rom esp32_spi_pin_config, 0x40008658
  rom esp32_flash_attach, 0x40062A6C
  rom esp32_flash_set_params, 0x40063238
  rom hal_flash_read, 0x40062ED8
  rom hal_flash_write, 0x40062D50
  rom hal_flash_erase_sector, 0x40062CCC
  rom hal_flash_erase_block, 0x40062C4C
  rom hal_flash_erase_chip, 0x40062C14
  rom hal_md5_init, 0x4005DA7C
  rom hal_md5_update, 0x4005DA9C
  rom hal_md5_final, 0x4005DB1C
  rom hal_inflate, 0x4005EF30
  rom esp32_isr_attach, 0x400067EC
  rom esp32_isr_unmask, 0x40006808

/* The windowed half: our a10..a15 are its a2..a7, the caller's frame starts 48 bytes up. The
 * ROM function's seventh argument goes to SP+0; SP+16..31 stay free for this frame's own
 * overflow save area. */
  .align 4
esp32_rom_window:
  .byte 0x36, 0x61, 0x00 /* entry a1, 48 */
  l32i a8, a1, 76
  l32i a9, a1, 48
  s32i a9, a1, 0
  mov a10, a2
  mov a11, a3
  mov a12, a4
  mov a13, a5
  mov a14, a6
  mov a15, a7
  rsil a9, 0
  .byte 0xE0, 0x08, 0x00 /* callx8 a8 */
  mov a2, a10
  .byte 0x90, 0x00, 0x00 /* retw */

/* The UART's interrupt handler as the ROM's dispatcher calls it (callx12, a fresh window):
 * a0 is all it needs kept around the call0 handler. */
  .global esp32_uart_isr_window
  .align 4
esp32_uart_isr_window:
  .byte 0x36, 0x41, 0x00 /* entry a1, 32 */
  mov a12, a0
  call0 esp32_uart_isr
  mov a0, a12
  .byte 0x90, 0x00, 0x00 /* retw */
