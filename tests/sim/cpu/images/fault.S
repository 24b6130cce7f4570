@ One fault, chosen by FAULT when assembling, at the instruction labelled `fault_here`; `reached`
@ becomes 1 only if the code after it runs.
#if FAULT == 5
#define SYSTICK_VECTOR 0
#else
#define SYSTICK_VECTOR reset + 1
#endif
#include "vectors.inc"

    .equ CPACR, 0xE000ED88
    .equ SYST_CSR, 0xE000E010

    .bss
    .global reached
reached: .word 0

    .text
    .global fault_here
    .thumb_func
reset:
#if FAULT == 1          /* a read where nothing is mapped */
    ldr r0, =0x60000000
fault_here:
    ldr r1, [r0]
#elif FAULT == 2        /* an undefined instruction */
fault_here:
    udf #0
#elif FAULT == 3        /* floating point with CP10/CP11 not granted */
    movs r0, #1
fault_here:
    vmov s0, r0
#elif FAULT == 4        /* the same once CPACR grants them: runs */
    ldr r0, =CPACR
    ldr r1, =(0xF << 20)
    str r1, [r0]
    dsb
    isb
fault_here:
    vmov s0, #1.0
    vadd.f32 s0, s0, s0
#elif FAULT == 5        /* SysTick taken with a vector of 0 */
    ldr r0, =SYST_CSR
    movs r1, #100
    str r1, [r0, #4]
    movs r1, #7
    str r1, [r0]
fault_here:
    b fault_here
#elif FAULT == 6        /* a store into flash */
    ldr r0, =0x08001000
fault_here:
    str r0, [r0]
#endif
    ldr r0, =reached
    movs r1, #1
    str r1, [r0]
    b .

    .thumb_func
usart1_irq:
    .thumb_func
dma2_stream2_irq:
    b .
