@ The core sleeping in WFI between the ticks of a 1 ms SysTick, whose handler counts them.
#define SYSTICK_VECTOR tick + 1
#include "vectors.inc"
    .bss
    .global ticks
ticks: .word 0
    .text
    .thumb_func
reset:
    ldr r0, =0xE000E010
    ldr r1, =15999
    str r1, [r0, #4]
    movs r1, #7
    str r1, [r0]
1:  wfi
    b 1b
    .thumb_func
tick:
    ldr r0, =ticks
    ldr r1, [r0]
    adds r1, #1
    str r1, [r0]
    bx lr
    .thumb_func
usart1_irq:
    .thumb_func
dma2_stream2_irq:
    b .
