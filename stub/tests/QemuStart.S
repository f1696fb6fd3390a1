/* Reset vector of qemu's lx106 `sim` machine: a stack, then the C start-up. */
  .section .reset, "ax"
  .global _reset
_reset:
  j _start

  .section .text.start, "ax"
  .literal_position
  .align 4
_start:
  movi a1, _stack_top
  movi a0, qemu_main
  callx0 a0
1:
  j 1b
