@ Exceptions from the NVIC model: a 1 ms SysTick whose handler pends USART1's interrupt (higher
@ priority: pre-empts at once) and DMA2 stream 2's (same priority as SysTick: waits for its return),
@ and, in thread mode, an interrupt pended under PRIMASK that is taken at `cpsie i`. Each handler
@ appends a letter to `order`; thread mode checks that its registers and its misaligned stack
@ pointer survive every interrupt, and stops counting on a mismatch.
#define SYSTICK_VECTOR systick + 1
#include "vectors.inc"

    .equ AIRCR, 0xE000ED0C
    .equ SHPR3, 0xE000ED20
    .equ NVIC_ISER1, 0xE000E104
    .equ NVIC_ISPR1, 0xE000E204
    .equ NVIC_IPR, 0xE000E400
    .equ SYST_CSR, 0xE000E010

    .bss
    .global order, order_length, ticks, mismatch
order: .space 64
order_length: .word 0
ticks: .word 0
mismatch: .word 0

    .text
@ r0: the letter. Clobbers r1-r3.
    .thumb_func
append:
    ldr r1, =order_length
    ldr r2, [r1]
    cmp r2, #63
    bhs 1f
    ldr r3, =order
    strb r0, [r3, r2]
    adds r2, #1
    str r2, [r1]
1:  bx lr

    .thumb_func
reset:
    ldr r0, =AIRCR                  @ priority grouping 4 bits of pre-emption: PRIGROUP 3
    ldr r1, =0x05FA0300
    str r1, [r0]
    ldr r0, =SHPR3                  @ SysTick at priority 15
    ldr r1, =0xF0000000
    str r1, [r0]
    ldr r0, =NVIC_IPR               @ USART1 (37) at 1, DMA2 stream 2 (58) at 15
    movs r1, #0x10
    strb r1, [r0, #37]
    movs r1, #0xF0
    strb r1, [r0, #58]
    ldr r0, =NVIC_ISER1             @ enable IRQs 37 (bit 5) and 58 (bit 26)
    ldr r1, =(1 << 5) | (1 << 26)
    str r1, [r0]

    cpsid i                         @ pended while masked: taken only at cpsie
    ldr r0, =NVIC_ISPR1
    movs r1, #(1 << 5)
    str r1, [r0]
    movs r0, #'M'
    bl append
    cpsie i
    movs r0, #'T'
    bl append

    ldr r0, =SYST_CSR               @ 1 ms at 16 MHz: reload 15999, processor clock, interrupt, enable
    ldr r1, =15999
    str r1, [r0, #4]
    movs r1, #0
    str r1, [r0, #8]
    movs r1, #7
    str r1, [r0]

    sub sp, #4                      @ a stack pointer 4 bytes off an 8-byte boundary
    mov r11, sp
    ldr r0, =0x11111111
    ldr r1, =0x22222222
    ldr r2, =0x33333333
    ldr r3, =0x44444444
    ldr r4, =0x55555555
    mov r12, r4
wait:
    ldr r5, =0x11111111
    cmp r0, r5
    bne broken
    ldr r5, =0x22222222
    cmp r1, r5
    bne broken
    ldr r5, =0x33333333
    cmp r2, r5
    bne broken
    ldr r5, =0x44444444
    cmp r3, r5
    bne broken
    cmp r12, r4
    bne broken
    cmp sp, r11
    bne broken
    b wait
broken:
    ldr r0, =mismatch
    movs r1, #1
    str r1, [r0]
    b .

    .thumb_func
systick:
    push {r4, lr}
    ldr r0, =ticks
    ldr r1, [r0]
    adds r1, #1
    str r1, [r0]
    cmp r1, #1                      @ only the first tick records the order
    bne 2f
    movs r0, #'S'
    bl append
    ldr r0, =NVIC_ISPR1
    ldr r1, =(1 << 26)              @ DMA2 stream 2: same priority, must wait
    str r1, [r0]
    movs r1, #(1 << 5)              @ USART1: higher priority, pre-empts here
    str r1, [r0]
    movs r0, #'s'
    bl append
2:  movs r0, #0                     @ the caller-saved registers are the frame's to restore
    movs r1, #0
    movs r2, #0
    movs r3, #0
    mov r12, r0
    pop {r4, pc}

    .thumb_func
usart1_irq:
    push {r4, lr}
    movs r0, #'U'
    bl append
    pop {r4, pc}

    .thumb_func
dma2_stream2_irq:
    push {r4, lr}
    movs r0, #'D'
    bl append
    pop {r4, pc}
