// The host build's stand-in for the reset path. On the chip, Reset_Handler sets the stack, enables the
// FPU, copies and clears the data sections and calls main; on the PC the process has already done the
// memory part, so the simulated reset only runs SystemInit and the firmware's main (renamed node_main
// for the host build, so that the simulator keeps the process's own main).
extern "C" void SystemInit(void);
int node_main(void);

// Top of the 128 KiB of RAM: word 0 of the vector table. The host has no use for it but the table
// keeps its layout in both builds.
extern "C" {
unsigned int _estack;
}

extern "C" void Reset_Handler(void)
{
    SystemInit();
    node_main();
}
