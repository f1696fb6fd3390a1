/* A windowed core (qemu's sample_controller: register windows, 32 address registers) for the
 * stub's bridge to the ROM's windowed functions (esp32_rom_call in Esp32Start.S): the window
 * exception handlers the ESP32's ROM has, a windowed function standing in for a ROM function,
 * and the start-up. The cross assembler takes no windowed instruction, so they are bytes. */

/* S32E/L32E at, as, offset (-64..-4); RFWO; RFWU; ENTRY a1,48; CALLX8 a8; RETW. */
  .macro s32e at, as, off
  .byte (\at << 4), (\as | (((\off / 4) & 15) << 4)), 0x49
  .endm
  .macro l32e at, as, off
  .byte (\at << 4), (\as | (((\off / 4) & 15) << 4)), 0x09
  .endm
  .macro rfwo
  .byte 0x00, 0x34, 0x00
  .endm
  .macro rfwu
  .byte 0x00, 0x35, 0x00
  .endm
  .macro fail code
  movi a2, 1
  movi a3, \code
  .byte 0x00, 0x51, 0x00 /* simcall: exit */
  .endm

  .section .vectors, "ax"
  .org 0x00 /* overflow of a call4 frame: not expected */
  fail 40
  .org 0x40
  fail 41
  .org 0x80 /* WindowOverflow8 */
  s32e 0, 9, -16
  l32e 0, 1, -12
  s32e 1, 9, -12
  s32e 2, 9, -8
  s32e 3, 9, -4
  s32e 4, 0, -32
  s32e 5, 0, -28
  s32e 6, 0, -24
  s32e 7, 0, -20
  rfwo
  .org 0xC0 /* WindowUnderflow8 */
  l32e 1, 9, -12
  l32e 0, 9, -16
  l32e 7, 1, -12
  l32e 2, 9, -8
  l32e 4, 7, -32
  l32e 3, 9, -4
  l32e 5, 7, -28
  l32e 6, 7, -24
  l32e 7, 7, -20
  rfwu
  .org 0x100
  fail 42
  .org 0x140
  fail 43
  .org 0x180
  fail 44
  .org 0x1C0
  fail 45
  .org 0x200
  fail 46
  .org 0x240
  fail 47
  .org 0x280
  fail 48
  .org 0x2C0
  fail 49
  .org 0x300
  fail 50
  .org 0x340
  fail 51
  .org 0x380
  fail 52
  .org 0x3C0
  fail 53

  .section .reset, "ax"
  j window_start

  .section .text.window, "ax"
  .literal_position

/* uint32_t window_sum(depth, a, b, c, d, e, f): windowed and recursive like deep ROM code:
 * depth 0 gives a + b + c + d + e + f; every level above adds its e once more after its call
 * returns, so e must survive the window's spills. */
  .global window_sum
  .align 4
window_sum:
  .byte 0x36, 0x61, 0x00 /* entry a1, 48 */
  l32i a8, a1, 48 /* f, at the caller's SP+0 */
  bnez a2, 1f
  add a2, a3, a4
  add a2, a2, a5
  add a2, a2, a6
  add a2, a2, a7
  add a2, a2, a8
  .byte 0x90, 0x00, 0x00 /* retw */
1:
  s32i a8, a1, 0
  addi a10, a2, -1
  mov a11, a3
  mov a12, a4
  mov a13, a5
  mov a14, a6
  mov a15, a7
  movi a8, window_sum
  .byte 0xE0, 0x08, 0x00 /* callx8 a8 */
  add a2, a10, a7
  .byte 0x90, 0x00, 0x00 /* retw */

/* After reset: user vectors, window overflow on, interrupts at level 0; the older windows dead;
 * a stack; then the C test. */
  .global window_start
  .align 4
window_start:
  movi a2, 0x00040020 /* PS: WOE, UM */
  wsr a2, ps
  rsync
  .byte 0x20, 0x48, 0x03 /* rsr a2, WINDOWBASE */
  movi a3, 1
  ssl a2
  sll a3, a3
  .byte 0x30, 0x49, 0x13 /* wsr a3, WINDOWSTART */
  rsync
  movi a1, _stack_top
  call0 window_main
  mov a3, a2 /* its result is the exit status */
  movi a2, 1
  .byte 0x00, 0x51, 0x00 /* simcall: exit */
