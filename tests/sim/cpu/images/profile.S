@ Calls to be profiled: the main loop calls `outer`, which calls `work` twice and tail-calls `last`;
@ `work` is 20 ADDS and its return. A 1 ms SysTick whose handler calls a function (so that the engine
@ takes it, not the short path) lands wherever the loop is.
#define SYSTICK_VECTOR tick + 1
#include "vectors.inc"
    .bss
    .global loops
loops: .word 0
ticks: .word 0
    .text
    .type reset, %function
reset:
    ldr r0, =0xE000E010
    ldr r1, =15999
    str r1, [r0, #4]
    movs r1, #7
    str r1, [r0]
    ldr r4, =loops
1:  bl outer
    ldr r1, [r4]
    adds r1, #1
    str r1, [r4]
    b 1b
    .size reset, . - reset

    .type outer, %function
outer:
    push {r4, lr}
    bl work
    bl work
    pop {r4, lr}
    b last
    .size outer, . - outer

    .type work, %function
work:
    .rept 20
    adds r0, #1
    .endr
    bx lr
    .size work, . - work

    .type last, %function
last:
    movs r0, #0
    bx lr
    .size last, . - last

    .type tick, %function
tick:
    push {r4, lr}
    bl count
    pop {r4, pc}
    .size tick, . - tick

    .type count, %function
count:
    ldr r0, =ticks
    ldr r1, [r0]
    adds r1, #1
    str r1, [r0]
    bx lr
    .size count, . - count

    .thumb_func
usart1_irq:
    .thumb_func
dma2_stream2_irq:
    b .
