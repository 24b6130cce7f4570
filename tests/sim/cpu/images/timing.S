@ Cycle counts on the emulated core against the Cortex-M4's instruction timing: DWT CYCCNT read around
@ instruction sequences whose cost the manual fixes, each inline (in the straight-line code between the
@ two reads) and as a function of its own (called, so a block of its own), the whole suite run once from
@ flash and once from a copy in SRAM; then an exception's entry and return. Each measurement stores
@ CYCCNT's difference; the test subtracts the same measurement around nothing. Last, code in flash
@ whose 128-bit lines are laid out on purpose, at 0 wait states and at 3 with the flash accelerator off
@ and on: the test takes the 0 wait-state run's figures from the others', leaving the stalls.
#define SYSTICK_VECTOR 0
#include "vectors.inc"
    .equ DWT_CTRL, 0xE0001000       @ CYCCNT at +4
    .equ DEMCR, 0xE000EDFC
    .equ NVIC_ISER1, 0xE000E104
    .equ NVIC_ISPR1, 0xE000E204
    .equ USART1_BIT, 1 << 5         @ IRQ 37
    .equ FLASH_ACR, 0x40023C00
    .equ ACR_ON, 3 | (1 << 8) | (1 << 9) | (1 << 10)   @ LATENCY 3, PRFTEN, ICEN, DCEN

    .bss
    .global flash_results, sram_results, exception_reads, wait_results, done
flash_results: .space 4 * 32
wait_results: .space 4 * 3 * 8     @ the wait suite at LATENCY 0, 3 with the accelerator off, 3 with it on
sram_results: .space 4 * 32
exception_reads: .space 16         @ t0 before the pend, t1 and t2 in the handler, t3 after the return
done: .word 0
scratch: .space 64
    .equ SRAM_SUITE, 0x20010000

    .text
    .thumb_func
reset:
    ldr r0, =0xE000ED88             @ CPACR: CP10 and CP11 full access, for VDIV
    ldr r1, =(0xF << 20)
    str r1, [r0]
    ldr r0, =DEMCR                  @ TRCENA, then CYCCNTENA
    ldr r1, =(1 << 24)
    str r1, [r0]
    ldr r0, =DWT_CTRL
    movs r1, #1
    str r1, [r0]
    @ The suite from flash.
    ldr r8, =flash_results
    bl suite
    @ The suite copied to SRAM and run there.
    ldr r0, =suite_start
    ldr r1, =suite_end
    ldr r2, =SRAM_SUITE
1:  ldr r3, [r0], #4
    str r3, [r2], #4
    cmp r0, r1
    blo 1b
    ldr r8, =sram_results
    ldr r0, =SRAM_SUITE + 1         @ the suite starts its section, Thumb
    blx r0
    @ Exception entry and return: USART1's interrupt pended by software, its handler reading CYCCNT first
    @ and last.
    ldr r7, =DWT_CTRL
    ldr r0, =NVIC_ISER1
    ldr r1, =USART1_BIT
    str r1, [r0]
    ldr r2, =NVIC_ISPR1
    ldr r9, =exception_reads
    ldr r6, [r7]                    @ another register between counter reads: no counter wait seen
    ldr r4, [r7, #4]                @ t0
    nop
    str r1, [r2]                    @ pended here; the ISB makes sure it is taken before what follows
    isb
    nop
    ldr r5, [r7, #4]                @ t3, after the return
    str r4, [r9]
    str r5, [r9, #12]
    @ The flash's wait states: the wait suite at LATENCY 0, at 3 with the accelerator off, at 3 with it on.
    ldr r8, =wait_results
    movs r0, #0
    bl wait_suite
    ldr r8, =wait_results + 32
    movs r0, #3
    bl wait_suite
    ldr r8, =wait_results + 64
    ldr r0, =ACR_ON
    bl wait_suite
    ldr r0, =done
    movs r1, #1
    str r1, [r0]
2:  b 2b

    .thumb_func
usart1_irq:
    ldr r0, [r7, #4]                @ t1, the handler's first instruction
    str r0, [r9, #4]
    ldr r6, [r7]
    ldr r0, [r7, #4]                @ t2, then the return
    str r0, [r9, #8]
    bx lr

    .thumb_func
dma2_stream2_irq:
    b .

@ Around a sequence: a read of another DWT register (so that the chip sees no wait on the counter), the
@ counter, a NOP (so that nothing pipelines with the read), the sequence, a NOP, the counter again; the
@ difference stored at r8, which moves on. r7: DWT.
.macro measure body:vararg
    ldr r6, [r7]
    ldr r4, [r7, #4]
    nop
    \body
    nop
    ldr r5, [r7, #4]
    subs r5, r4
    str r5, [r8], #4
.endm

.macro adds64
    .rept 64
    adds r0, #1
    .endr
.endm
.macro ldr32
    .rept 32
    ldr r1, [r10]
    .endr
.endm
.macro ldr_use32
    .rept 32
    ldr r1, [r10]
    adds r1, #1
    .endr
.endm
.macro ldm8
    .rept 8
    ldm r10, {r0-r3, r6, r9, r11, r12}
    .endr
.endm
.macro push_pop8
    .rept 8
    push {r0-r3}
    pop {r0-r3}
    .endr
.endm
.macro mla32
    .rept 32
    mla r0, r1, r2, r0
    .endr
.endm
.macro vdiv8
    .rept 8
    vdiv.f32 s0, s1, s2
    .endr
.endm
.macro loop32
    movs r0, #32
    movs r1, #0
3:  subs r0, #1
    bne 3b
.endm

@ The suite: position-independent (it runs from flash and from its copy in SRAM). r8: where the results go.
    .balign 4
suite_start:
    .thumb_func
suite:
    push {r4-r11, lr}
    ldr r7, =DWT_CTRL
    sub r10, sp, #64                @ somewhere in RAM to load from
    vmov.f32 s1, #1.0
    vmov.f32 s2, #3.0
    @ Inline: 0 nothing, 1-8 the sequences.
    measure
    measure adds64
    measure ldr32
    measure ldr_use32
    measure ldm8
    measure push_pop8
    measure mla32
    measure vdiv8
    measure loop32
    @ As blocks of their own: 9 an empty call, 10-17 the sequences.
    measure bl f_none
    measure bl f_adds64
    measure bl f_ldr32
    measure bl f_ldr_use32
    measure bl f_ldm8
    measure bl f_push_pop8
    measure bl f_mla32
    measure bl f_vdiv8
    measure bl f_loop32
    pop {r4-r11, pc}
    .ltorg

    .balign 4
    .thumb_func
f_none:
    bx lr
    .balign 4
    .thumb_func
f_adds64:
    adds64
    bx lr
    .balign 4
    .thumb_func
f_ldr32:
    ldr32
    bx lr
    .balign 4
    .thumb_func
f_ldr_use32:
    ldr_use32
    bx lr
    .balign 4
    .thumb_func
f_ldm8:
    ldm8
    bx lr
    .balign 4
    .thumb_func
f_push_pop8:
    push_pop8
    bx lr
    .balign 4
    .thumb_func
f_mla32:
    mla32
    bx lr
    .balign 4
    .thumb_func
f_vdiv8:
    vdiv8
    bx lr
    .balign 4
    .thumb_func
f_loop32:
    loop32
    bx lr
    .balign 4
suite_end:

@ The wait suite: FLASH_ACR set from r0, then measurements whose code starts a 128-bit line each (L0,
@ the line of the first counter read; L1 the next). r8: where the results go.
.macro wmeasure_start
    .balign 16
    ldr r6, [r7]                    @ L0 + 0
    ldr r4, [r7, #4]                @ L0 + 2: the first read
    nop                             @ L0 + 4
.endm
.macro wmeasure_end
    ldr r5, [r7, #4]
    subs r5, r4
    str r5, [r8], #4
.endm

    .balign 16
    .thumb_func
wait_suite:
    push {r4-r11, lr}
    ldr r1, =FLASH_ACR
    str r0, [r1]
    b 1f                            @ the runner applies a new FLASH_ACR from the next block on
1:  ldr r7, =DWT_CTRL
    @ 0: nothing, the second read in L0 too.
    wmeasure_start
    nop
    wmeasure_end
    @ 1: a straight run of 32 ADDS from L0 + 6 to L4 + 4, the second read in L4: four lines entered.
    wmeasure_start
    .rept 32
    adds r0, #1
    .endr
    nop
    wmeasure_end
    @ 2: a loop of 8 iterations whose SUBS ends L0 and whose BNE starts L1: L1 entered 8 times, L0 7.
    wmeasure_start
    movs r0, #8                     @ L0 + 6
    nop
    nop
    nop
4:  subs r0, #1                     @ L0 + 14
    bne 4b                          @ L1 + 0
    nop
    wmeasure_end                    @ the read at L1 + 4
    @ 3: the same loop inside L0: no line entered.
    wmeasure_start
    movs r0, #8                     @ L0 + 6
5:  subs r0, #1
    bne 5b
    nop
    wmeasure_end                    @ the read at L0 + 14
    @ 4: three literal loads from one line of constants (their own), the second read in L0.
    wmeasure_start
    ldr r1, wait_constants
    ldr r2, wait_constants + 4
    ldr r3, wait_constants + 8
    nop
    wmeasure_end
    pop {r4-r11, pc}
    .ltorg
    .balign 16
wait_constants:
    .word 1, 2, 3, 4
