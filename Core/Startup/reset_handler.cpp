// The path from reset to main on the chip.
//
// The core loads SP from vector 0 and jumps here with nothing initialised: .data still holds garbage,
// .bss is not zero, the FPU is off (CPACR 0, so the first floating-point instruction would fault).
// Until .data and .bss are set up, no C++ code may run that reads a global, so the sequence is written
// in assembly with no stack frame of its own (a naked function): no compiler-generated prologue can
// touch memory before SP is set, and no loop can be turned into a library call.
extern "C" {

// Linker script symbols: the stack top and the bounds of the data and zeroed sections.
extern unsigned int _estack;
extern unsigned int _sidata;
extern unsigned int _sdata;
extern unsigned int _edata;
extern unsigned int _sbss;
extern unsigned int _ebss;

void SystemInit(void);
void __libc_init_array(void);

__attribute__((naked, noreturn)) void Reset_Handler(void)
{
    __asm volatile(
        // 1. The stack: the same value the core took from vector 0, set again so that a jump here from
        //    a debugger or a bootloader starts from a known stack too.
        "    ldr   r0, =_estack\n"
        "    mov   sp, r0\n"
        // 2. FPU access (CP10/CP11) before any floating-point instruction. SystemInit uses no global.
        //    The barriers make the new CPACR value visible to every later instruction.
        "    bl    SystemInit\n"
        "    dsb\n"
        "    isb\n"
        // 3. Copy the initialised data, word by word, from its image in flash to RAM.
        "    ldr   r0, =_sdata\n"
        "    ldr   r1, =_edata\n"
        "    ldr   r2, =_sidata\n"
        "1:  cmp   r0, r1\n"
        "    bhs   2f\n"
        "    ldr   r3, [r2], #4\n"
        "    str   r3, [r0], #4\n"
        "    b     1b\n"
        // 4. Zero the zero-initialised data.
        "2:  ldr   r0, =_sbss\n"
        "    ldr   r1, =_ebss\n"
        "    movs  r3, #0\n"
        "3:  cmp   r0, r1\n"
        "    bhs   4f\n"
        "    str   r3, [r0], #4\n"
        "    b     3b\n"
        // 5. The C library's and the program's static constructors (preinit array, _init, init array).
        "4:  bl    __libc_init_array\n"
        // 6. The application; it never returns, and if it did the core would stay here.
        "    bl    main\n"
        "5:  b     5b\n"
        "    .ltorg\n");
}

}  // extern "C"
