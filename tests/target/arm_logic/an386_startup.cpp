// Start-up of the test image on QEMU's mps2-an386 board (a Cortex-M4 with FPU, code RAM at 0, data
// RAM at 0x20000000). Its own vector table, a reset that enables the FPU before anything else, the
// usual memory initialisation, then the cases, and the result as the emulator's exit status.
#include "logic_case.h"
#include "semihosting.h"

extern "C" {

extern unsigned int _estack;
int run_logic_cases(void);
void an386_reset(void);
void an386_fault(void);

// A fault in a case (a bad pointer, an FPU instruction while the FPU is off, an unexpected exception)
// ends the run as a failure instead of hanging until the harness's time limit.
void an386_fault(void)
{
    const char* name = logic_current_case();
    semihosting_write("FAIL ");
    semihosting_write(name != nullptr ? name : "(start-up)");
    semihosting_write(": took a fault or an unexpected exception; the run stops here\n");
    semihosting_exit(99);
}

// Runs after memory is initialised: the cases, then exit with their outcome.
__attribute__((noreturn, used)) void an386_run(void)
{
    semihosting_exit(run_logic_cases());
}

// The real CPACR (the firmware's register blocks point into the RAM mirror, so SystemInit cannot reach
// it): CP10 and CP11 full access, then the barriers, before any floating-point instruction.
__attribute__((naked, noreturn)) void an386_reset(void)
{
    __asm volatile(
        "    ldr   r0, =_estack\n"
        "    mov   sp, r0\n"
        "    ldr   r0, =0xE000ED88\n"
        "    ldr   r1, [r0]\n"
        "    orr   r1, r1, #0x00F00000\n"
        "    str   r1, [r0]\n"
        "    dsb\n"
        "    isb\n"
        "    ldr   r0, =_sdata\n"
        "    ldr   r1, =_edata\n"
        "    ldr   r2, =_sidata\n"
        "1:  cmp   r0, r1\n"
        "    bhs   2f\n"
        "    ldr   r3, [r2], #4\n"
        "    str   r3, [r0], #4\n"
        "    b     1b\n"
        "2:  movs  r3, #0\n"
        "    ldr   r0, =_sbss\n"
        "    ldr   r1, =_ebss\n"
        "3:  cmp   r0, r1\n"
        "    bhs   4f\n"
        "    str   r3, [r0], #4\n"
        "    b     3b\n"
        "4:  ldr   r0, =_smirror\n"
        "    ldr   r1, =_emirror\n"
        "5:  cmp   r0, r1\n"
        "    bhs   6f\n"
        "    str   r3, [r0], #4\n"
        "    b     5b\n"
        "6:  bl    __libc_init_array\n"
        "    b     an386_run\n"
        "    .ltorg\n");
}

typedef void (*vector_entry)(void);

// Stack pointer, the 15 system exceptions and the first 16 interrupts; the image enables none of them,
// so each one reaching the core is a fault of the test.
__attribute__((section(".an386_vectors"), used)) const vector_entry an386_vectors[32] = {
    reinterpret_cast<vector_entry>(&_estack),
    an386_reset,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
    an386_fault,
};

}  // extern "C"
