@ An atomic increment (LDREX, then STREX, retried when it fails) with a SysTick every 100 cycles: the
@ tick comes due between the LDREX and the STREX of the one block, is taken at the instruction boundary
@ after its time, and its entry clears the exclusive monitor, so that the STREX fails and the loop
@ retries. The handler counts the ticks it interrupted inside that window, by the return address.
#define SYSTICK_VECTOR tick + 1
#include "vectors.inc"
    .bss
    .global counter, retries, ticks, inside
counter: .word 0
retries: .word 0
ticks: .word 0
inside: .word 0
    .text
    .thumb_func
reset:
    ldr r0, =0xE000E010             @ SysTick: every 100 core cycles, its interrupt on
    movs r1, #99
    str r1, [r0, #4]
    movs r1, #0
    str r1, [r0, #8]
    movs r1, #7
    str r1, [r0]
    ldr r4, =counter
    ldr r5, =retries
    ldr r6, =ticks
again:
    ldrex r1, [r4]
window:
    adds r1, #1
    .rept 40
    nop
    .endr
store:
    strex r2, r1, [r4]
    cbz r2, stored
    ldr r3, [r5]
    adds r3, #1
    str r3, [r5]
    b again
stored:
    ldr r3, [r6]
    cmp r3, #20
    blo again
done:
    b done

    .thumb_func
tick:
    ldr r0, =ticks
    ldr r1, [r0]
    adds r1, #1
    str r1, [r0]
    ldr r1, [sp, #24]               @ the stacked return address
    ldr r2, =window
    cmp r1, r2
    blo 1f
    ldr r2, =store
    cmp r1, r2
    bhi 1f
    ldr r0, =inside
    ldr r1, [r0]
    adds r1, #1
    str r1, [r0]
1:  bx lr
    .thumb_func
usart1_irq:
    .thumb_func
dma2_stream2_irq:
    b .
